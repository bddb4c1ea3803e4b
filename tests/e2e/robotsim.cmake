webgated_test(e2e_robotsim LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/RobotsimE2eTest.cpp LIBS webgated_testsupport)
