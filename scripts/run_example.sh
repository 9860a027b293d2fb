#!/usr/bin/env bash
# The main job: sets up a fresh Debian machine (as root) with what the build
# needs, builds the library, and runs the example batch job, which plays a
# COBOL runtime's part through _IO_Init and the verb vector on indexed,
# relative and sequential files made in a fresh folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

build build/release
work=$(mktemp -d /tmp/kvr_example_XXXXXX)
echo "== customer job, files in $work =="
build/release/examples/customer_job "$work"
