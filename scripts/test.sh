#!/usr/bin/env bash
# Installs what is missing, then builds and runs, each stage in its own build folder:
#   1. the test suite (build/)
#   2. the suite under clang with AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   3. the suite under clang with ThreadSanitizer (build-tsan/)
#   4. every fuzz target for a short run on its seed corpus in fuzz/corpus/<target>/ (build-fuzz/)
# Every stage runs even when an earlier one failed; the script exits non-zero when any did and
# ends with one line counting the tests (and fuzz targets) of all stages that passed, failed and
# were skipped (a test that cannot run on this machine, such as one that needs a camera, says so
# and counts as skipped, not passed).
#
# Usage: scripts/test.sh [--quick] [extra ctest arguments]
#   --quick  the test suite only (stage 1), with the same closing line.
# Environment: BUILD_DIR (default build) and MIVODRELL_SANITIZE=ON (an ASan+UBSan build of
# stage 1 with the default compiler), JOBS (default: the number of CPUs), FUZZ_SECONDS (default
# 10 per target).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
  shift
fi

bash scripts/setup-deps.sh

jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-10}
# Sanitizer builds: line tables are enough for the reports' stack traces and much cheaper to build.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG"
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG")
# The 1080p encoder-quality test spends minutes inside libx265 (not instrumented) under the
# sanitizers, and ThreadSanitizer's slowdown can push a 1080p frame past the encoder's deadline;
# the normal suite runs it.
# The installed-package test needs every library built, which the sanitizer stages skip; the
# streaming tool's end-to-end runs measure frame rates that instrumentation cannot keep.
sanitizer_skip='HEVCEncoderStream\.FullHDDesktopAtEightMegabitsKeepsAboveThirtyFiveDecibels|InstallConsumer|StreamTool\.|tests_tools'
# Leaks and races inside libraries we only call are theirs, not ours.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
# Tests of allocation failure need the allocator to fail, not to stop the process.
export ASAN_OPTIONS="allocator_may_return_null=1:detect_stack_use_after_return=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

passed=0
failed=0
skipped=0
summary=()

# Runs ctest in build folder $1 (name $2), adds its counts and keeps its summary line.
run_ctest() {
  local dir=$1 name=$2 log
  shift 2
  log=$(mktemp)
  local status=0
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log" || status=$?
  local line total bad skip
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  # ctest counts a skipped test among the passed ones and lists it under "did not run".
  skip=$(grep -cE '^[[:space:]]+[0-9]+ - .* \((Skipped|Disabled)\)$' "$log" || true)
  line=${line:+$line, $skip skipped (${SECONDS}s since start)}
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
    summary+=("$name: $line")
  else
    failed=$((failed + 1))
    summary+=("$name: ctest did not run (exit $status)")
  fi
  if [ "$status" -ne 0 ] && [ -n "$line" ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi
  rm -f "$log"
}

# Configures and builds folder $1 with the remaining arguments as CMake options; false on failure.
configure_and_build() {
  local dir=$1
  shift
  local -a options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--targets" ]; do options+=("$1"); shift; done
  if [ $# -gt 0 ]; then
    shift
    targets=(--target "$@")
  fi
  cmake -S . -B "$dir" -G Ninja -DMIVODRELL_WERROR=ON "${options[@]}" >/dev/null &&
    cmake --build "$dir" -j "$jobs" "${targets[@]}"
}

# 1. The test suite.
build_dir=${BUILD_DIR:-build}
sanitize=${MIVODRELL_SANITIZE:-OFF}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIVODRELL_WERROR=ON -DMIVODRELL_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j "$jobs"
run_ctest "$build_dir" suite "$@"
if [ "$quick" -eq 1 ]; then
  printf '%s\n' "${summary[@]}"
  echo "all: $passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
fi
# The library suites (one executable per library), for the sanitizer stages.
mapfile -t test_targets < <(ninja -C "$build_dir" -t targets all | sed -nE 's/^(tests_[A-Za-z]+): .*/\1/p' |
  grep -vx tests_tools | sort -u)

# 2. and 3. The suite under clang's sanitizers (test executables only).
export CC=clang CXX=clang++
for variant in asan tsan; do
  option=-DMIVODRELL_SANITIZE=ON
  [ "$variant" = tsan ] && option=-DMIVODRELL_TSAN=ON
  if configure_and_build "build-$variant" "$option" -DMIVODRELL_BUILD_BENCH=OFF "${sanitizer_flags[@]}" \
    --targets "${test_targets[@]}"; then
    run_ctest "build-$variant" "$variant" -E "$sanitizer_skip" "$@"
  else
    failed=$((failed + 1))
    summary+=("$variant: build failed")
  fi
done

# 4. Each fuzz target on its seed corpus. New inputs and any crash files go to a scratch folder.
fuzz_targets=()
for source in fuzz/*.cpp; do fuzz_targets+=("$(basename "$source" .cpp)"); done
if configure_and_build build-fuzz -DMIVODRELL_BUILD_FUZZ=ON -DMIVODRELL_BUILD_TESTS=OFF \
  -DMIVODRELL_BUILD_BENCH=OFF --targets "${fuzz_targets[@]/#/fuzz_}"; then
  for target in "${fuzz_targets[@]}"; do
    corpus=fuzz/corpus/$target
    mkdir -p "$corpus"
    scratch=$(mktemp -d)
    echo "fuzz: $target for ${fuzz_seconds}s on $corpus"
    if (cd "$scratch" && "$root/build-fuzz/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -max_len=4096 \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$scratch/" \
      "$scratch" "$root/$corpus") >"$scratch/output.txt" 2>&1; then
      passed=$((passed + 1))
      summary+=("fuzz $target: $(grep -E '^Done [0-9]+ runs' "$scratch/output.txt" | tail -1) (${SECONDS}s since start)")
    else
      tail -40 "$scratch/output.txt"
      failed=$((failed + 1))
      summary+=("fuzz $target: FAILED")
    fi
    rm -rf "$scratch"
  done
else
  failed=$((failed + 1))
  summary+=("fuzz: build failed")
fi

echo
printf '%s\n' "${summary[@]}"
echo "all: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
