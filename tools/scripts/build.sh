#!/bin/sh
# Configures and builds webgated the one way run-tests.sh and run-demo.sh share, so that either
# builds in the same folder only what the other has not built yet.
# Usage: build.sh <build dir> [target...]   (no target: everything)
#   WEBGATED_CMAKE_ARGS  extra CMake arguments (e.g. -DWEBGATED_SANITIZE=address,undefined)
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
shift
# Compiler cache hits across checkouts in different folders.
export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja -DWEBGATED_WERROR=ON ${WEBGATED_CMAKE_ARGS:-} >/dev/null
[ $# -eq 0 ] || set -- --target "$@"
cmake --build "$build" -j2 "$@"
