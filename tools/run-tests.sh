#!/usr/bin/env bash
# Builds webgated and runs every test (unit and end-to-end).
#   BUILD_DIR            build folder (default: build; run-demo.sh builds there with the same flags)
#   WEBGATED_CMAKE_ARGS  extra CMake arguments (e.g. -DWEBGATED_SANITIZE=address,undefined)
#   BUILD_TARGETS        build only these targets (default: all)
#   CTEST_ARGS           extra ctest arguments (e.g. -L unit)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/tools/scripts/install-deps.sh"
build=${BUILD_DIR:-$top/build}
# shellcheck disable=SC2086
"$top/tools/scripts/build.sh" "$build" ${BUILD_TARGETS:-}
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}
