#!/bin/sh
# Runs a compiled COBOL example in a fresh folder and compares what it
# prints, followed by the report file it writes, with the expected output.
#
#   run_example_test.sh PROGRAM DATA_DIR EXPECTED WORK_DIR [REPORT]
#
# PROGRAM   the compiled example (either build: GnuCOBOL's handler or KVRFH)
# DATA_DIR  its input files, copied into WORK_DIR before the run
# EXPECTED  stdout, a line "----- REPORT -----", then the report file
# WORK_DIR  emptied and recreated; the program runs there
# REPORT    the report file's name in WORK_DIR (default custrpt.txt)
set -u

if [ $# -lt 4 ]; then
    echo "usage: $0 PROGRAM DATA_DIR EXPECTED WORK_DIR [REPORT]" >&2
    exit 2
fi
program=$1
data_dir=$2
expected=$3
work_dir=$4
report=${5:-custrpt.txt}

rm -rf "$work_dir" && mkdir -p "$work_dir" || exit 2
cp "$data_dir"/* "$work_dir"/ || exit 2
cd "$work_dir" || exit 2

"$program" >stdout.txt 2>stderr.txt
rc=$?
if [ $rc -ne 0 ]; then
    echo "$program ended with return code $rc" >&2
    cat stderr.txt >&2
    exit 1
fi
if [ -s stderr.txt ]; then
    echo "$program wrote to stderr:" >&2
    cat stderr.txt >&2
    exit 1
fi
if [ ! -f "$report" ]; then
    echo "$program wrote no report file $report" >&2
    exit 1
fi

{ cat stdout.txt; echo "----- REPORT -----"; cat "$report"; } >actual.out
if ! diff -u "$expected" actual.out; then
    echo "output differs from $expected (actual output kept in $work_dir/actual.out)" >&2
    exit 1
fi
echo "output matches $expected"
