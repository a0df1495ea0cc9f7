#!/usr/bin/env bash
# Builds the C++ test binary with ThreadSanitizer (build/tsan) and runs the
# tests that exercise threads: the blocking-pool hand-off stress, the shared
# block cache, the tokenizer registry and stemmers, and the directory's
# off-thread file work. Any reported race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${JOBS:-$(nproc)}"
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)

cmake -S . -B build/tsan "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVREL_TSAN=ON \
  -DNUVREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/tsan -j "$JOBS" --target nuvrel_core_tests

FILTER="${TSAN_FILTER:-*Concurren*:*ThreadsStem*:DirectoryTest.FileWorkRunsOffTheCallingThread}"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  build/tsan/nuvrel-core/nuvrel_core_tests --gtest_filter="$FILTER"
