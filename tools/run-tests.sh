#!/usr/bin/env bash
# Builds webgated and runs every test (unit and end-to-end).
#   BUILD_DIR            build folder (default: build)
#   WEBGATED_CMAKE_ARGS  extra CMake arguments (e.g. -DWEBGATED_SANITIZE=address,undefined)
#   BUILD_TARGETS        build only these targets (default: all)
#   CTEST_ARGS           extra ctest arguments (e.g. -L unit)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/tools/scripts/install-deps.sh"
build=${BUILD_DIR:-$top/build}
# Compiler cache hits across checkouts in different folders.
export CCACHE_BASEDIR=$top CCACHE_NOHASHDIR=1
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja -DWEBGATED_WERROR=ON ${WEBGATED_CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 ${BUILD_TARGETS:+--target $BUILD_TARGETS}
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}
