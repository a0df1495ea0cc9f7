#!/usr/bin/env bash
# Builds the fuzz targets (g++ with ASan+UBSan, libFuzzer's runtime), makes
# their seed corpora with the test index writer, and runs them.
#
#   bash scripts/fuzz.sh --quick                 each target for a fixed number of runs (the test command)
#   bash scripts/fuzz.sh --long [SECONDS] [TARGET...]
#                                                each target (or those named) for SECONDS (default 300),
#                                                FUZZ_JOBS at a time (default 1); the corpus grows in
#                                                build/fuzz/corpus and is kept between runs
# Quick runs go FUZZ_JOBS at a time too (default: the CPU count). FUZZ_ARGS
# adds libFuzzer flags to every run (for example -max_len=65536).
#
# A crash, hang or out-of-memory fails the run and leaves the input under
# build/fuzz/artifacts/<target>/; replay one with
#   build/fuzz/fuzz/<target> <artifact file>
set -euo pipefail
cd "$(dirname "$0")/.."

MODE="${1:---quick}"
shift || true
SECONDS_PER_TARGET=300
if [ "$MODE" = "--long" ] && [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  SECONDS_PER_TARGET="$1"
  shift
fi
case "$MODE" in
  --quick | --long) ;;
  *) echo "usage: $0 --quick | --long [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac
QUICK_RUNS="${FUZZ_QUICK_RUNS:-4000}"
# Build jobs follow JOBS like the other scripts' builds; run jobs are FUZZ_JOBS.
BUILD_JOBS="${JOBS:-$(nproc)}"
if [ "$MODE" = "--quick" ]; then JOBS="${FUZZ_JOBS:-$(nproc)}"; else JOBS="${FUZZ_JOBS:-1}"; fi

bash scripts/setup.sh
# libFuzzer's runtime ships with Debian's LLVM packages; any recent one does.
if ! compgen -G "/usr/lib/llvm-*/lib/libFuzzer.a" >/dev/null; then
  source scripts/apt.sh
  apt_get update -qq
  pkg=""
  for v in 19 18 17 16 15 14; do
    # No pipe into `grep -q` here: under pipefail, grep leaving early kills
    # apt-cache with SIGPIPE and the test reads as false at random.
    if [[ "$(apt-cache policy "libfuzzer-$v-dev" 2>/dev/null)" =~ Candidate:\ [0-9] ]]; then
      pkg="libfuzzer-$v-dev"
      break
    fi
  done
  [ -n "$pkg" ] || { echo "no libfuzzer-N-dev package found" >&2; exit 1; }
  apt_get install -y -qq --no-install-recommends "$pkg"
fi

BUILD=build/fuzz
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVREL_SANITIZE=ON \
  -DNUVREL_BUILD_FUZZERS=ON -DNUVREL_BUILD_TESTS=OFF -DNUVREL_BUILD_BENCHMARKS=OFF -DNUVREL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$BUILD" -j "$BUILD_JOBS"

rm -rf "$BUILD/seeds"
"${NUVREL_VENV:-.venv}/bin/python" nuvrel-core/fuzz/make_seeds.py "$BUILD/seeds"

if (($#)); then
  TARGETS=("$@")
else
  TARGETS=()
  for exe in "$BUILD"/fuzz/*_fuzz; do TARGETS+=("$(basename "$exe")"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# One target: quick runs start from the seeds alone and keep nothing; long
# runs grow the target's own corpus, the seeds read alongside it.
run_target() {
  local t="$1" log="$BUILD/logs/$1.log" args
  mkdir -p "$BUILD/artifacts/$t" "$BUILD/logs"
  if [ "$MODE" = "--quick" ]; then
    local work="$BUILD/quick/$t"
    rm -rf "$work" && mkdir -p "$work"
    args=(-runs="$QUICK_RUNS" -timeout=20 "$work" "$BUILD/seeds/$t")
  else
    mkdir -p "$BUILD/corpus/$t"
    args=(-max_total_time="$SECONDS_PER_TARGET" -timeout=20 "$BUILD/corpus/$t" "$BUILD/seeds/$t")
  fi
  if "$BUILD/fuzz/$t" -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/" \
      ${FUZZ_ARGS:-} "${args[@]}" >"$log" 2>&1; then
    echo "ok      $t: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs"
    return 0
  fi
  echo "FAILED  $t (log: $log)"
  grep -E "^(==[0-9]+==ERROR|SUMMARY|.*runtime error)" "$log" | head -5 | sed 's/^/        /'
  return 1
}

failed=0
running=0
# wait -n gives one finished run's status; each failure counts once.
pids=()
for t in "${TARGETS[@]}"; do
  [ -x "$BUILD/fuzz/$t" ] || { echo "no such target: $t" >&2; exit 2; }
  run_target "$t" &
  pids+=($!)
  running=$((running + 1))
  if ((running >= JOBS)); then
    wait -n || failed=$((failed + 1))
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || failed=$((failed + 1))
  running=$((running - 1))
done

echo "fuzz: $((${#TARGETS[@]} - failed)) passed, $failed failed"
((failed == 0))
