#!/usr/bin/env bash
# Builds the settings reader + editor fuzz target with clang (libFuzzer) in its own build
# folder and runs it for a bounded time from the seed corpus in tests/data/settings-fuzz.
#   FUZZ_SECONDS  run time (default 60)    FUZZ_BUILD_DIR  build folder (default build-fuzz)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
export CCACHE_BASEDIR=$top CCACHE_NOHASHDIR=1
cmake -S "$top/tests/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
# Quiet when it builds; the whole output when it does not, so that CI says why.
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; echo "the fuzz target does not build" >&2; exit 1; }
# The corpus grows in a scratch copy; the seeds in the repository stay as they are.
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$top"/tests/data/settings-fuzz/* "$corpus"/
"$build/settings_fuzz" -artifact_prefix="$build/" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" 2>&1 | tee "$build/last-run.log" | grep -E '^(Done|stat::number_of_executed_units|==)|property' || true
grep -q '^Done [0-9]* runs' "$build/last-run.log"
