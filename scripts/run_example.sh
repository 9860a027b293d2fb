#!/usr/bin/env bash
# The main job: sets up a fresh Debian 12 machine (as root) with what it
# needs (GnuCOBOL included), builds the library, the KVRFH handler and kvr
# in build/release, compiles the COBOL batch job
# examples/cobol/customer_batch.cbl with cobc -fcallfh=KVRFH, and runs it in
# a fresh folder on the input files it ships: its indexed master, relative
# counters and sequential error file are KVR files. Then the kvr utility
# describes and checks those files. It builds one target, kvr_example: the
# job and all that `cmake --install build/release` puts in place, so that
# the build can be installed afterwards. The tests are scripts/test.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh example

stage "building the library, the GnuCOBOL handler KVRFH, kvr and the COBOL job in build/release (about a minute)"
build build/release kvr_example --
stage_done built

top=$(pwd)
job=$top/build/release/examples/cobol/customer_batch_kvr
kvr=$top/build/release/src/tools/kvr
work=$(mktemp -d /tmp/kvr_example_XXXXXX)
cp examples/cobol/data/* "$work"/

stage "running customer_batch (GnuCOBOL, its files kept by KVR through KVRFH) in $work"
(cd "$work" && "$job")

for file in "$work"/*.dat; do
  echo "== kvr info $(basename "$file") =="
  "$kvr" info "$file"
  echo "== kvr check $(basename "$file") =="
  "$kvr" check "$file"
done
echo "== kvr dump --columns custcnt.dat (the relative counter file: its counters are packed decimal) =="
"$kvr" dump --columns "$work/custcnt.dat"

echo
echo "Done in $(elapsed "$run_start"). The job ran in $work:"
echo "  its report      $work/custrpt.txt"
echo "  its KVR files   $(cd "$work" && echo *.dat)"
echo "  kvr             $kvr"
echo "  KVRFH           $top/build/release/src/bridge/libkvrfh.so"
