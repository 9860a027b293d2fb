#!/bin/sh
# run_cobol_bench.sh - the COBOL indexed-file benchmark, GnuCOBOL's own
# file handler against KVR's external handler KVRFH.
#
# Usage:
#   bench/cobol/run_cobol_bench.sh [-b BRIDGE_DIR] [N] [RUNS]
#
#   N           records to load (default 200000, at most 2000000)
#   RUNS        runs of each build (default 3)
#   BRIDGE_DIR  folder holding libkvrfh.so; also taken from the
#               environment variable KVRFH_DIR; default
#               build/release/src/bridge under the repository's top folder
#
# kvr_cobol_bench.cbl is compiled twice with the same flags (cobc -x -O2):
# once as is, so its indexed file goes to GnuCOBOL's built-in handler
# (Berkeley DB in Debian's build), and once with -fcallfh=KVRFH linked
# against libkvrfh.so. The runs alternate between the two builds, each in
# an empty temporary folder. For every run the script prints the process's
# wall time and the time the program itself measured for its file phases;
# then the medians, the per-phase medians, and the ratio native / KVR
# (above 1 means KVR is faster). Every run must print the same COUNT lines
# and end with return code 0, or the script fails.
#
# Figures mean something only when libkvrfh.so comes from an optimized
# build, for instance:
#   cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
#   cmake --build build/release --target kvrfh
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
records=${1:-200000}
runs=${2:-3}

case $records in ''|*[!0-9]*) echo "N must be a number: $records" >&2; exit 2 ;; esac
case $runs in ''|*[!0-9]*|0) echo "RUNS must be a positive number: $runs" >&2; exit 2 ;; esac

if ! command -v cobc >/dev/null 2>&1; then
    echo "cobc (GnuCOBOL) not found; on Debian: apt-get install gnucobol3 libcob4-dev" >&2
    exit 2
fi
if [ ! -f "$bridge_dir/libkvrfh.so" ]; then
    echo "no libkvrfh.so in $bridge_dir; build the kvrfh target or pass -b DIR" >&2
    exit 2
fi
bridge_dir=$(cd "$bridge_dir" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/kvr_cobol_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

source=$script_dir/kvr_cobol_bench.cbl
cobc -x -O2 -o "$work/bench_native" "$source"
cobc -x -O2 -fcallfh=KVRFH -o "$work/bench_kvr" "$source" \
    -L"$bridge_dir" -lkvrfh -Q "-Wl,-rpath,$bridge_dir"

echo "N = $records records, $runs runs of each build"
echo "libkvrfh.so from $bridge_dir"
echo

# run VARIANT NUMBER: one run in a fresh folder; appends "wall io" to
# $work/VARIANT.times and the phase lines to $work/VARIANT.phases.
run() {
    variant=$1
    number=$2
    dir=$work/run_${variant}_$number
    mkdir "$dir"
    start=$(date +%s%N)
    if ! (cd "$dir" && "$work/bench_$variant" "$records" >out.txt 2>err.txt); then
        echo "$variant run $number failed:" >&2
        cat "$dir/err.txt" "$dir/out.txt" >&2
        exit 1
    fi
    end=$(date +%s%N)
    wall=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", (e - s) / 1e9 }')
    io=$(awk '$1 == "TIME" && $2 == "IO-TOTAL" { print $3 }' "$dir/out.txt")
    printf '%-6s run %d: wall %8.2f s   file phases %8.2f s\n' "$variant" "$number" "$wall" "$io"
    echo "$wall $io" >>"$work/$variant.times"
    awk '$1 == "TIME" { print $2, $3 }' "$dir/out.txt" >>"$work/$variant.phases"
    grep '^COUNT' "$dir/out.txt" >"$dir/counts.txt"
    if [ ! -f "$work/counts.txt" ]; then
        cp "$dir/counts.txt" "$work/counts.txt"
    elif ! cmp -s "$work/counts.txt" "$dir/counts.txt"; then
        echo "$variant run $number counted differently from the first run:" >&2
        diff "$work/counts.txt" "$dir/counts.txt" >&2 || true
        exit 1
    fi
    rm -rf "$dir"
}

i=1
while [ "$i" -le "$runs" ]; do
    run native "$i"
    run kvr "$i"
    i=$((i + 1))
done

# median COLUMN FILE: the median of one column of numbers.
median() {
    awk -v c="$1" '{ print $c }' "$2" | sort -n | awk '
        { v[NR] = $1 }
        END { if (NR % 2) printf "%.2f", v[(NR + 1) / 2];
              else printf "%.2f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# phase_median VARIANT PHASE
phase_median() {
    awk -v p="$2" '$1 == p { print $2 }' "$work/$1.phases" >"$work/phase.tmp"
    median 1 "$work/phase.tmp"
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

echo
echo "counts (the same in every run):"
sed 's/^/  /' "$work/counts.txt"
echo
printf '%-10s %10s %10s %8s\n' "phase" "native s" "KVR s" "ratio"
for phase in LOAD READ SCAN-KEY SCAN-ALT REWRITE DELETE RECOUNT; do
    n=$(phase_median native "$phase")
    k=$(phase_median kvr "$phase")
    printf '%-10s %10s %10s %8s\n' "$phase" "$n" "$k" "$(ratio "$n" "$k")"
done
native_io=$(median 2 "$work/native.times")
kvr_io=$(median 2 "$work/kvr.times")
native_wall=$(median 1 "$work/native.times")
kvr_wall=$(median 1 "$work/kvr.times")
printf '%-10s %10s %10s %8s\n' "phases" "$native_io" "$kvr_io" "$(ratio "$native_io" "$kvr_io")"
printf '%-10s %10s %10s %8s\n' "wall" "$native_wall" "$kvr_wall" "$(ratio "$native_wall" "$kvr_wall")"
echo
echo "median wall time: native $native_wall s, KVR $kvr_wall s, native/KVR $(ratio "$native_wall" "$kvr_wall")"
