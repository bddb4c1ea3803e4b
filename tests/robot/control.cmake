# Drive control: the handler on the wire (velocity mode, watchdog, bumper, connection loss),
# position mode, the drive commands, and the request thread posting while the main thread drives.
webgated_test(control_tests LABEL unit
  SOURCES ControlHandlerTest.cpp PositionModeTest.cpp DriveCommandsTest.cpp ControlTestSupport.h
  LIBS webgated_daemon_testsupport)
webgated_test(control_thread_tests LABEL unit
  SOURCES ControlThreadTest.cpp ControlTestSupport.h
  LIBS webgated_daemon_testsupport)
set_tests_properties(control_thread_tests PROPERTIES LABELS "unit;threads")
