webgated_test(e2e_sensors LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/SensorsE2eTest.cpp LIBS webgated_frame)
