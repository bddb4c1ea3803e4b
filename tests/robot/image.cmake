# Camera image service: the decoder, getimage and changeRes, the camera topic on the wire, and
# frames arriving while the request thread reads them.
webgated_test(image_tests LABEL unit
  SOURCES ImageDecoderTest.cpp ImageCommandsTest.cpp ImageTestSupport.h
  LIBS webgated_daemon_testsupport)
webgated_test(image_wire_tests LABEL unit
  SOURCES ImageTopicTest.cpp ImageTestSupport.h
  LIBS webgated_daemon_testsupport)
webgated_test(image_thread_tests LABEL unit
  SOURCES ImageThreadTest.cpp ImageTestSupport.h
  LIBS webgated_daemon_testsupport)
set_tests_properties(image_thread_tests PROPERTIES LABELS "unit;threads")
