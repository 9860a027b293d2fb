#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root) with what the tests need and
# runs every test, each stage with its elapsed time:
#   1. the normal build (build/release) and its test suite;
#   2. the Debian package made from it (cpack -G DEB), unpacked into a
#      scratch root, where a COBOL program and a C++ program are built and
#      run against its files alone (scripts/package_test.sh);
#   3. an AddressSanitizer + UndefinedBehaviorSanitizer build
#      (build/sanitize) and the same suite under it;
#   4. three minutes of fuzzing the file reader with libFuzzer
#      (fuzz/run_fuzz.sh), which fails on any input that makes it fail;
#   5. the layout of every source file against .clang-format
#      (scripts/check_format.sh).
# A stage that fails does not stop the later ones that do not need it. The
# last line is the verdict on all of them; the exit status is 0 only when
# every stage passed.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh test || exit 1

results=()
failed=0
pass() { results+=("$1"); }
fail() { results+=("$1 FAILED"); failed=1; }

# Every 30 seconds while ctest runs: how many tests have ended.
test_progress() {
  local log=$1
  while sleep 30; do
    echo "   ... $(grep -c ' Test *#' "$log" 2>/dev/null) tests done ($(elapsed "$stage_start"))"
  done
}

# run_tests DIR NAME [VARIABLE=VALUE...]: the whole suite of a build, with
# the output of each failed test and a one-line summary.
run_tests() {
  local dir=$1 name=$2; shift 2
  local log=$dir/ctest.log
  test_progress "$log" &
  local ticker=$!
  (cd "$dir" && env "$@" ctest -j "$jobs" --output-on-failure --timeout 600) >"$log" 2>&1
  local status=$?
  kill "$ticker" 2>/dev/null
  wait "$ticker" 2>/dev/null || true
  local summary total failures
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
  total=$(echo "$summary" | sed -n 's/.* out of \([0-9]*\).*/\1/p')
  failures=$(echo "$summary" | sed -n 's/.*, \([0-9]*\) tests failed.*/\1/p')
  if [ $status -eq 0 ] && [ -n "$total" ]; then
    stage_done "$total tests passed"
    pass "$name: $total tests passed"
  else
    # The failed tests' output, then ctest's list of them.
    sed -n '/Test *#[0-9]*:.*\*\*\*/,/^ *[0-9]*\/[0-9]* Test *#/p' "$log" | head -n 400
    sed -n '/tests passed/,$p' "$log"
    stage_done "failed (the whole output is in $log)"
    fail "$name: ${failures:-?} of ${total:-?} tests"
  fi
}

stage "normal build in build/release: the library, KVRFH, kvr, every test (about 2 minutes on 2 cores)"
if build build/release -- -DKVR_TESTS=ON; then
  stage_done built
  stage "the test suite of build/release"
  run_tests build/release "normal build"

  stage "the Debian package (cpack -G DEB) and cmake --install, with programs built against them"
  if scripts/package_test.sh build/release; then
    stage_done passed
    pass "Debian package and install: programs built against them run"
  else
    stage_done failed
    fail "package and install"
  fi
else
  stage_done "build failed"
  fail "normal build"
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer build in build/sanitize (about 3 minutes on 2 cores)"
if build build/sanitize -- -DKVR_TESTS=ON -DKVR_SANITIZE=ON; then
  stage_done built
  stage "the test suite of build/sanitize, under the sanitizers"
  run_tests build/sanitize "sanitizers" \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  stage_done "build failed"
  fail "sanitizer build"
fi

stage "fuzzing the file reader for 180 s (libFuzzer; clang builds it first, in under a minute)"
mkdir -p build/fuzz
ticker() { while sleep 30; do echo "   ... $(elapsed "$stage_start")"; done; }
ticker &
fuzz_ticker=$!
fuzz/run_fuzz.sh 180 build/fuzz 2>&1 | tee build/fuzz/summary.log
fuzz_status=$?
kill "$fuzz_ticker" 2>/dev/null
wait "$fuzz_ticker" 2>/dev/null || true
if [ $fuzz_status -eq 0 ]; then
  stage_done passed
  pass "fuzzing: $(tail -n 1 build/fuzz/summary.log | sed 's/^fuzzing: //; s/ (.*//')"
else
  stage_done failed
  fail "fuzzing"
fi

stage "the layout of every source file (clang-format)"
if scripts/check_format.sh > build/format.log 2>&1; then
  stage_done "$(tail -n 1 build/format.log)"
  pass "layout: every file as .clang-format says"
else
  cat build/format.log
  stage_done failed
  fail "layout"
fi

joined=$(printf '%s; ' "${results[@]}")
if [ $failed -eq 0 ]; then
  echo "ALL TESTS PASSED in $(elapsed "$run_start"): ${joined%; }"
else
  echo "TESTS FAILED in $(elapsed "$run_start"): ${joined%; }"
fi
exit $failed
