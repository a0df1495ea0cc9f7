#!/usr/bin/env bash
# Sets the machine up, then builds and runs every test: the C++ suite as a
# plain build and again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

JOBS="$(nproc)"
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)

cmake -S . -B build/release "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release --output-on-failure -j "$JOBS"

cmake -S . -B build/asan "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DNUVREL_SANITIZE=ON -DNUVREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

# The Python module, installed from this working tree, then its test suite
# run from outside the source tree so that the installed module is the one
# imported.
bash scripts/install-python-module.sh
ROOT="$PWD"
(cd /tmp && "${PYTHON:-python3}" -m pytest -q -p no:cacheprovider "$ROOT/nuvrel-core-python/tests")
