#!/usr/bin/env bash
# Line and branch coverage of src/ by the test suite: builds the library,
# the tools and every test with gcc's --coverage into build/coverage (or the
# folder given), runs the whole suite under ctest and prints gcovr's totals
# and its table per source file. Installs what it needs as scripts/test.sh
# does, and gcovr.
#
#   scripts/coverage.sh [BUILD_DIR]
#
# The table is also left in BUILD_DIR/coverage.txt, to compare two runs
# file by file. Branch figures count only the branches gcc keeps at -O0
# (exception edges are left out: every call that may throw has one), and
# not the failing side of an assertion, which no sound run takes.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh coverage || exit 1
dir=${1:-build/coverage}

stage "coverage build in $dir (-O0 --coverage)"
build "$dir" -- -DKVR_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_C_FLAGS=--coverage -O0" "-DCMAKE_CXX_FLAGS=--coverage -O0" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage || exit 1
stage_done built

stage "the test suite under coverage"
find "$dir" -name '*.gcda' -delete
(cd "$dir" && ctest -j "$jobs" --timeout 900 >ctest.log 2>&1)
status=$?
grep -E '^[0-9]+% tests passed' "$dir/ctest.log" | tail -n 1
stage_done

stage "gcovr over src/"
gcovr --root . --object-directory "$dir" --filter "$PWD/src/" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --exclude-branches-by-pattern '.*\bassert\(' \
  --json "$dir/coverage.json" -j "$jobs" >"$dir/gcovr.log" 2>&1 \
  || { cat "$dir/gcovr.log"; exit 1; }
gcovr --add-tracefile "$dir/coverage.json" --txt "$dir/coverage.txt"
gcovr --add-tracefile "$dir/coverage.json" --branches --txt "$dir/coverage-branches.txt"
gcovr --add-tracefile "$dir/coverage.json" --print-summary | grep -E '^(lines|branches|functions):'
echo "per file: $dir/coverage.txt (lines), $dir/coverage-branches.txt (branches)"
stage_done
exit $status
