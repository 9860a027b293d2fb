#!/usr/bin/env bash
# Builds the file reader's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time, starting from
# the seed corpus and the inputs that once made the reader fail. The corpus
# the run grows is thrown away; an input that makes the reader fail is kept
# in BUILD_DIR/artifacts/ and the script fails, naming it.
#
#   fuzz/run_fuzz.sh [SECONDS] [BUILD_DIR]      defaults: 180 build/fuzz
#
# Prints the number of executions; exit status 0 when no input made the
# reader fail (crash, sanitizer report, leak, timeout, out of memory).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-180}
dir=${2:-build/fuzz}
mkdir -p "$dir"
{ CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVR_FUZZ=ON &&
  cmake --build "$dir" -j "$(nproc)" --target file_reader_fuzz; } >"$dir/build.log" 2>&1 ||
  { cat "$dir/build.log"; echo "fuzz build in $dir failed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp fuzz/corpus/* "$work/corpus/"
if [ -d fuzz/regressions ]; then
  cp fuzz/regressions/* "$work/corpus/"
fi
artifacts=$(cd "$dir" && pwd)/artifacts
rm -rf "$artifacts"
mkdir -p "$artifacts"

status=0
"$dir/fuzz/file_reader_fuzz" "$work/corpus" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" >"$dir/fuzz.log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzz.log")
found=$(ls "$artifacts")
if [ "$status" -ne 0 ] || [ -n "$found" ]; then
  tail -n 80 "$dir/fuzz.log"
  echo "fuzzing failed (exit status $status) after ${runs:-?} executions; the input:" >&2
  for input in $found; do echo "  $artifacts/$input" >&2; done
  exit 1
fi
echo "fuzzing: ${runs} executions in ${seconds} s (${rate}/s), no failure"
