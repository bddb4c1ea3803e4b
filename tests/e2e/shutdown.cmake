# Ending the daemon while a peer stalls or a request runs long, connections kept by nginx, a
# request loop that cannot go on, and the descriptors a started program inherits.
add_executable(fd_lister ${CMAKE_CURRENT_LIST_DIR}/FdLister.cpp)
webgated_test(e2e_shutdown LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/ShutdownE2eTest.cpp
  LIBS webgated_daemon_testsupport TIMEOUT 240)
add_dependencies(e2e_shutdown webgated fd_lister)
