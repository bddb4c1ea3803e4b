webgated_test(e2e_programs LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProgramsE2eTest.cpp LIBS webgated_testsupport)
add_dependencies(e2e_programs webgated)
