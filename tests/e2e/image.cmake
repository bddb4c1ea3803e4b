# The camera through nginx against robotsim: frames in the size changeRes chose, the camera
# switched off when the page stops polling, the no-camera picture when it comes back.
webgated_test(e2e_image LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/ImageE2eTest.cpp
  LIBS webgated_testsupport ${QT}::Gui TIMEOUT 180)
add_dependencies(e2e_image webgated robotsim)
