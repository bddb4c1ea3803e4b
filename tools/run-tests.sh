#!/usr/bin/env bash
# Builds webgated and runs every test (unit and end-to-end).
#   BUILD_DIR            build folder (default: build)
#   WEBGATED_CMAKE_ARGS  extra CMake arguments (e.g. -DWEBGATED_SANITIZE=address,undefined)
#   CTEST_ARGS           extra ctest arguments (e.g. -L unit)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/tools/scripts/install-deps.sh"
build=${BUILD_DIR:-$top/build}
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja -DWEBGATED_WERROR=ON ${WEBGATED_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}
