#!/bin/sh
# shared_counts.sh PROGRAM KVR WORK: four copies of bench/cobol/shared_bench
# (built with KVRFH) read and rewrite 50 records of one file at once, each
# adding 1 to the count in the record it rewrote, and write 200 records of
# their own. No update may be lost: the counts in the file add up to the
# REWRITEs the programs were told were done, every record written is there,
# the programs met each other's locks (51) and the file checks sound.
# Then the same with a fifth copy killed (kill -9) while the four run: the
# four must still end well (a change it died in is taken back), the counts
# hold at least what the four were told, and the journal is gone.
set -eu
program=$1 kvr=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work"
for round in whole killed; do
    rm -f bench.dat* out.*
    "$program" load 50 0 0
    ops=2000
    [ "$round" = whole ] || ops=10000
    pids=""
    for p in 0 1 2 3; do
        "$program" work 50 "$p" "$ops" >"out.$p" &
        pids="$pids $!"
    done
    if [ "$round" = killed ]; then
        "$program" work 50 4 1000000 >/dev/null &
        victim=$!
        sleep 0.3
        kill -9 "$victim"
        wait "$victim" && exit 1  # it cannot have ended by itself
    fi
    for pid in $pids; do wait "$pid"; done
    done_ops=$(awk '/^DONE/ { n += $2 } END { print n + 0 }' out.*)
    locked=$(awk '/^DONE/ { n += $3 } END { print n + 0 }' out.*)
    "$kvr" check bench.dat
    counted=$("$kvr" dump bench.dat | awk '/^K/ { n += substr($0, 12, 8) } END { print n + 0 }')
    records=$("$kvr" dump bench.dat | grep -c '^[KN]')
    echo "$round: rewrites done $done_ops, counted $counted; met a lock $locked times; records $records"
    [ "$locked" -gt 0 ]
    if [ "$round" = whole ]; then
        [ "$done_ops" -eq "$counted" ] && [ "$records" -eq 850 ]
    else
        [ "$counted" -ge "$done_ops" ] && [ "$records" -ge 850 ] && [ ! -e bench.dat.kvrj ]
    fi
done
