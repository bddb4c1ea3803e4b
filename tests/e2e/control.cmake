# Remote driving through nginx against robotsim: position drive to a target, the watchdog stop,
# the bumper stop, and a daemon ending while driving.
webgated_test(e2e_control LABEL e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/ControlE2eTest.cpp
  LIBS kel_corvanta_rpc webgated_frame TIMEOUT 240)
add_dependencies(e2e_control webgated robotsim)
