#!/usr/bin/env bash
# Sets the machine and the project's virtualenv up, then builds and runs every
# test: the C++ suite as a plain build and again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Python module's suite, and the wheel in a
# fresh virtualenv. Build jobs: JOBS (default: every core).
#
# It ends with one line per stage (name, pass or FAIL, seconds) and the total,
# also when a stage fails, so a slow or broken stage shows without scrolling.
set -euo pipefail
cd "$(dirname "$0")/.."

STARTED=$SECONDS
STAGE="" STAGE_STARTED=0
DONE_STAGES=()
# begin NAME: the stage that runs until the next begin (or the end).
begin() {
  finish_stage pass
  STAGE="$1" STAGE_STARTED=$SECONDS
}
finish_stage() {
  [ -n "$STAGE" ] || return 0
  DONE_STAGES+=("$(printf '%-14s %-4s %5ds' "$STAGE" "$1" $((SECONDS - STAGE_STARTED)))")
  STAGE=""
}
summary() {
  local status=$?
  finish_stage "$( ((status)) && echo FAIL || echo pass)"
  echo "test: stages"
  printf '  %s\n' "${DONE_STAGES[@]}"
  printf '  %-14s %-4s %5ds\n' total "$( ((status)) && echo FAIL || echo pass)" $((SECONDS - STARTED))
}
trap summary EXIT

begin setup
bash scripts/setup.sh --tests

export JOBS="${JOBS:-$(nproc)}"
# The scripts it runs and the module builds driven by pip honour this too.
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
ROOT="$PWD"

begin cpp-plain
echo "test: C++ suite, plain build (build/release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release --output-on-failure -j "$JOBS"

begin cpp-asan
echo "test: C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNUVREL_SANITIZE=ON -DNUVREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

begin cpp-tsan
echo "test: concurrency tests under ThreadSanitizer (build/tsan)"
bash scripts/tsan.sh
begin fuzz
echo "test: fuzz targets, a short fixed run each under AddressSanitizer and UndefinedBehaviorSanitizer (build/fuzz)"
bash scripts/fuzz.sh --quick

# The module's suite runs from outside the source tree so that the module
# installed in the virtualenv is the one imported.
python_suite() {
  bash scripts/install-python-module.sh
  echo "test: Python suite with $("${NUVREL_VENV:-.venv}/bin/python" --version)"
  (cd / && "$ROOT/${NUVREL_VENV:-.venv}/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/nuvrel-core-python/tests")
}
begin python
python_suite

begin wheel
bash scripts/wheel.sh --check

# When the project's virtualenv was made by another interpreter, the set-up
# and the module install run once more with the distribution's own python3
# and the older pip it brings (23.0.1 on Debian 12).
DISTRO_PYTHON=/usr/bin/python3
distro_python_is_another() {
  [ -x "$DISTRO_PYTHON" ] && "$DISTRO_PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 11))' || return 1
  local base
  base="$(.venv/bin/python -c 'import sys; print(sys._base_executable)')"
  [ "$(realpath "$DISTRO_PYTHON")" != "$(realpath "$base")" ]
}
if distro_python_is_another; then
  begin distro-python
  echo "test: set-up and module install with the distribution's $DISTRO_PYTHON"
  export PYTHON="$DISTRO_PYTHON" NUVREL_VENV=build/venv-distro NUVREL_BUILD_DIR=build/python-distro
  bash scripts/setup.sh --tests
  python_suite
fi
