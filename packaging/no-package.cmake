# Read by cpack when the build has no libsystemd.
message(FATAL_ERROR "webgated: no package without libsystemd (the systemd unit waits for the "
                    "daemon's READY=1); install libsystemd-dev and configure the build again")
