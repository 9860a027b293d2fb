#!/bin/sh
# Runs a compiled COBOL test program in a fresh folder and compares what it
# prints (standard output and error) with the expected output.
# Usage: run_cobol_test.sh PROGRAM EXPECTED WORKDIR
set -eu
program=$1 expected=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$program" >actual.out 2>&1 || { echo "$program failed:"; cat actual.out; exit 1; }
diff -u "$expected" actual.out
