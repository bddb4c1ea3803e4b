webgated_test(e2e_settings LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/SettingsE2eTest.cpp LIBS webgated_testsupport)
