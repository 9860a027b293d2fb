#!/bin/sh
# Runs a compiled COBOL test program in a fresh folder and compares what it
# prints (standard output and error) with the expected output.
# Usage: run_cobol_test.sh PROGRAM EXPECTED WORKDIR [RUN...]
# Without RUN the program runs once, and must succeed. Each RUN is the
# command line of one run, in turn in the same folder; the output shows each
# run's command line and, when not 0, its exit status.
set -eu
program=$1 expected=$2 work=$3
shift 3
rm -rf "$work" && mkdir -p "$work" && cd "$work"
if [ $# -eq 0 ]; then
    "$program" >actual.out 2>&1 || { echo "$program failed:"; cat actual.out; exit 1; }
else
    : >actual.out
    for run in "$@"; do
        echo "== $run" >>actual.out
        status=0
        # The shell's own word on a run a signal ended ("Killed") is left
        # out: the exit status says it, the same from every shell.
        # shellcheck disable=SC2086 # the run's words are the program's arguments
        ( "$program" $run >>actual.out 2>&1 ) 2>/dev/null || status=$?
        [ "$status" -eq 0 ] || echo "== exit status $status" >>actual.out
    done
fi
diff -u "$expected" actual.out
