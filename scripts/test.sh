#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root) with what the build needs, builds
# the project twice - a normal build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build - and runs the whole test suite under both;
# then fuzzes the file reader for three minutes (fuzz/run_fuzz.sh), failing
# when an input makes it fail. The last line printed is the fuzzing summary.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/setup.sh

echo "== normal build =="
build build/release
(cd build/release && ctest -j "$jobs" --output-on-failure --timeout 600)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
build build/sanitize -DKVR_SANITIZE=ON
cd build/sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j "$jobs" --output-on-failure --timeout 600

echo "== fuzzing the file reader (libFuzzer, clang) =="
cd ../..  # back to the top folder from build/sanitize
fuzz/run_fuzz.sh 180 build/fuzz
