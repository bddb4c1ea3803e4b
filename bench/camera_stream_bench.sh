#!/usr/bin/env bash
# The camera in the page, in headless Chromium through nginx: pictures per second and the frame's
# age when shown at +0/50/150/300 ms round trip (Chromium's network emulation, and a proxy that
# delays every byte), the page's requests per second at rest, the daemon's CPU and memory with 1
# and 4 pages open, and a viewer that takes one part a second. See camera_stream_bench.py.
#   BUILD_DIR          the build to measure (default build; webgated and robotsim)
#   BEFORE_BINARY_DIR  another build of the daemon, and BEFORE_SOURCE_DIR the checkout it was built
#   BEFORE_SOURCE_DIR  from (its web page is used with it): measured first, as "before"
#   RTTS, WINDOW_S, CPU_WINDOW_S   round trips (ms), seconds per picture figure, per CPU figure
#   SLOW_S, SLOW_ONLY=1            seconds of the one-part-a-second viewers; only them
#   SLOW_LINK                      bytes/s of the slow link (default 40000)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export WEBGATED_SOURCE_DIR=$top
export WEBGATED_BINARY_DIR=${BUILD_DIR:-$top/build}
cmake --build "$WEBGATED_BINARY_DIR" -j2 --target webgated robotsim >/dev/null
exec /usr/bin/python3 "$top/bench/camera_stream_bench.py"
