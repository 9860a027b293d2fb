#!/bin/sh
# signalled_runs.sh PROGRAM KVR WORK [ROUNDS]: runs of unclosed_files
# ("churn KIND") writing and deleting records of an indexed file held
# alone, the same file shared, and a relative file, each ended at a random
# moment by SIGTERM (kill), SIGINT (Ctrl-C) or SIGHUP (its terminal
# closed). After each, the next OPEN either gives 00 on a file kvr check
# finds sound, or refuses the file, which kvr rebuild then mends. A file
# that opens 00 and is damaged fails the test.
set -eu
program=$1 kvr=$2 work=$3 rounds=${4:-4}
rm -rf "$work" && mkdir -p "$work" && cd "$work"
runs=0 refused=0 sound=0
round=0
while [ "$round" -lt "$rounds" ]; do
    round=$((round + 1))
    for kind in indexed shared relative; do
        file=uc_churn.dat
        [ "$kind" = relative ] && file=uc_churn_rel.dat
        for signal in TERM INT HUP; do
            # A shell starts a background job with SIGINT ignored: give it
            # its default back, as a program run from a terminal has it.
            env --default-signal=INT "$program" churn "$kind" >churn.out 2>&1 &
            pid=$!
            # Once the run has the file open (a signal that comes while
            # libcob itself starts may end it in libcob's own handler, with
            # no file of ours involved), 0 to 250 ms more, a time spent
            # mostly inside verbs.
            tries=0
            until ls -l "/proc/$pid/fd" 2>/dev/null | grep -q "$file"; do
                tries=$((tries + 1))
                [ "$tries" -lt 1000 ] && kill -0 "$pid" 2>/dev/null || break
                sleep 0.01
            done
            sleep "0.$(awk -v seed="$$$runs" 'BEGIN { srand(seed); printf "%03d", int(rand() * 250) }')"
            kill -s "$signal" "$pid" 2>/dev/null || true
            # A run that outlives its signal by 20 s is stuck.
            ( sleep 20; kill -9 "$pid" 2>/dev/null && echo stuck >churn.stuck ) &
            watchdog=$!
            ended=0
            wait "$pid" || ended=$?
            kill "$watchdog" 2>/dev/null || true
            if [ -e churn.stuck ]; then
                echo "run $((runs + 1)) ($kind, SIG$signal) did not end"; exit 1
            fi
            runs=$((runs + 1))
            # libcob's handler ends the run with exit(SIGNAL), the default
            # action with 128 + SIGNAL; a run that finished gives 0. Anything
            # else (an abort, a fault) is a failure.
            case $signal in TERM) number=15 ;; INT) number=2 ;; *) number=1 ;; esac
            case $ended in
                0 | "$number" | $((128 + number))) ;;
                *) echo "run $runs ($kind, SIG$signal) ended with status $ended:"; cat churn.out; exit 1 ;;
            esac
            if grep -q '^[A-Z]' churn.out && ! grep -q 'Abnormal termination' churn.out; then
                echo "run $runs ($kind, SIG$signal) failed by itself:"; cat churn.out; exit 1
            fi
            status=$("$program" probe "$kind" 2>probe.err | tail -n 1)
            if [ "$status" = 00 ]; then
                if ! "$kvr" check "$file" >check.out 2>&1; then
                    echo "run $runs ($kind, SIG$signal): OPEN gave 00 on a damaged file:"
                    cat check.out
                    exit 1
                fi
                sound=$((sound + 1))
            else
                refused=$((refused + 1))
                "$kvr" rebuild "$file" >/dev/null
                "$kvr" check "$file" >/dev/null
            fi
        done
    done
done
echo "$runs runs ended by a signal: $sound files opened sound, $refused refused and rebuilt"
