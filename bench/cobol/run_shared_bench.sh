#!/bin/sh
# run_shared_bench.sh - several programs working one indexed file at once.
#
# Usage:
#   bench/cobol/run_shared_bench.sh [-b BRIDGE_DIR] [N] [OPS] [RUNS]
#
#   N     records in the file (default 20000)
#   OPS   READ + REWRITE pairs each program does (default 20000)
#   RUNS  runs of each setting; the median is shown (default 3)
#   BRIDGE_DIR  folder holding libkvrfh.so (or KVRFH_DIR); default
#               build/release/src/bridge under the repository's top folder
#
# shared_bench.cbl is compiled three ways with cobc -x -O2: with
# -fcallfh=KVRFH as it is (LOCK MODE AUTOMATIC: the file is shared), with
# -fcallfh=KVRFH without its LOCK MODE clause (the file is held alone, so
# only one program can run), and as it is for GnuCOBOL's own handler
# (Berkeley DB in Debian's build). Each run loads a fresh file, starts the
# programs together and takes the wall time until the last ends; the
# table gives the operations (READ + REWRITE pairs) per second of all the
# programs together and the reads or rewrites that met a locked record.
set -eu

script_dir=$(cd "$(dirname "$0")" && pwd)
top_dir=$(cd "$script_dir/../.." && pwd)
bridge_dir=${KVRFH_DIR:-$top_dir/build/release/src/bridge}
while getopts b: opt; do
    case $opt in
        b) bridge_dir=$OPTARG ;;
        *) sed -n '2,12p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
records=${1:-20000}
ops=${2:-20000}
runs=${3:-3}
[ -f "$bridge_dir/libkvrfh.so" ] || { echo "no libkvrfh.so in $bridge_dir" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed '/LOCK MODE IS AUTOMATIC/d' "$script_dir/shared_bench.cbl" >"$work/alone.cbl"
cobc -x -O2 -fcallfh=KVRFH -o "$work/kvr_shared" "$script_dir/shared_bench.cbl" \
    -L"$bridge_dir" -lkvrfh -Q -Wl,-rpath,"$bridge_dir"
cobc -x -O2 -fcallfh=KVRFH -o "$work/kvr_alone" "$work/alone.cbl" \
    -L"$bridge_dir" -lkvrfh -Q -Wl,-rpath,"$bridge_dir"
cobc -x -O2 -o "$work/native_shared" "$script_dir/shared_bench.cbl"

now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# run BUILD PROGRAMS: one run; prints "ops_per_second locked"
run() {
    build=$1 programs=$2
    dir=$work/run && rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
    "$work/$build" load "$records" 0 0 >/dev/null || { echo "$build: load failed" >&2; exit 1; }
    start=$(now)
    p=0 pids=""
    while [ "$p" -lt "$programs" ]; do
        "$work/$build" work "$records" "$p" "$ops" >"out.$p" 2>&1 &
        pids="$pids $!"
        p=$((p + 1))
    done
    failed=0
    for pid in $pids; do wait "$pid" || failed=1; done
    end=$(now)
    [ "$failed" -eq 0 ] || { echo "$build with $programs programs failed:" >&2; cat out.* >&2; exit 1; }
    locked=$(awk '/^DONE/ { n += $3 } END { print n + 0 }' out.*)
    awk -v s="$start" -v e="$end" -v n="$((programs * ops))" -v l="$locked" \
        'BEGIN { printf "%.0f %d\n", n / (e - s), l }'
    cd "$work"
}

printf '%-44s %9s %14s %14s\n' "setting ($records records, $ops ops each)" programs "ops/s (median)" "locked (last)"
for setting in "kvr_shared 1" "kvr_shared 2" "kvr_shared 4" "kvr_alone 1" \
               "native_shared 1" "native_shared 2" "native_shared 4"; do
    set -- $setting
    results=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        results="$results$(run "$1" "$2")
"
        i=$((i + 1))
    done
    rate=$(printf '%s' "$results" | awk '{ print $1 }' | median)
    locked=$(printf '%s' "$results" | awk 'END { print $2 }')
    case $1 in
        kvr_shared) name="KVRFH, shared (LOCK MODE AUTOMATIC)" ;;
        kvr_alone) name="KVRFH, held alone (no LOCK MODE)" ;;
        *) name="GnuCOBOL's own handler, LOCK MODE AUTOMATIC" ;;
    esac
    printf '%-44s %9s %14s %14s\n' "$name" "$2" "$rate" "$locked"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
