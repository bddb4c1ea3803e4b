# Ending the daemon while a peer stalls or a request runs long, connections kept by nginx, and
# the descriptors a started program inherits.
webgated_test(e2e_shutdown LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/ShutdownE2eTest.cpp TIMEOUT 240)
add_dependencies(e2e_shutdown webgated)
