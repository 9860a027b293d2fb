#!/usr/bin/env bash
# The main job: sets up a fresh Debian machine (as root) with what the build
# needs (GnuCOBOL included), builds the library and the KVRFH handler,
# compiles the COBOL batch job examples/cobol/customer_batch.cbl with
# cobc -fcallfh=KVRFH, and runs it in a fresh folder on the input files it
# ships: its indexed master, relative counters and sequential error file
# are KVR files. Then the kvr utility describes and checks those files.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

build build/release
top=$(pwd)
job=$top/build/release/examples/cobol/customer_batch_kvr
work=$(mktemp -d /tmp/kvr_example_XXXXXX)
cp examples/cobol/data/* "$work"/
echo "== customer_batch (GnuCOBOL, files kept by KVR through KVRFH), files in $work =="
(cd "$work" && "$job")

kvr=$top/build/release/src/tools/kvr
for file in "$work"/*.dat; do
  echo "== kvr info $(basename "$file") =="
  "$kvr" info "$file"
  echo "== kvr check $(basename "$file") =="
  "$kvr" check "$file"
done
echo "== kvr dump custcnt.dat (the relative counter file, by record number) =="
"$kvr" dump "$work/custcnt.dat"
