webgated_test(e2e_frame LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/FrameE2eTest.cpp LIBS webgated_testsupport)
