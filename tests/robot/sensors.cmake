# Sensor cache and status commands, and the system information commands.
webgated_test(sensor_tests LABEL unit
  SOURCES SensorCommandsTest.cpp SensorRobotTest.cpp
  LIBS webgated_daemon_testsupport)
# Requests in a second thread against updates in the main thread: run under ThreadSanitizer too.
webgated_test(sensor_thread_tests LABEL unit SOURCES SensorThreadsTest.cpp LIBS webgated_daemon_testsupport)
set_tests_properties(sensor_thread_tests PROPERTIES LABELS "unit;threads")
webgated_test(sysinfo_tests LABEL unit SOURCES SystemInfoCommandsTest.cpp LIBS webgated_daemon_testsupport)
