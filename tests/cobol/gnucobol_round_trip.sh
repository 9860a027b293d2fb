#!/bin/sh
# GnuCOBOL's own files moved into this system's and back: one build of a
# program writes its files and reads them (what it prints must be the
# expected output), kvr load or kvr unload --format gnucobol moves them
# across, and the other build reads the moved files to the same output.
# Usage: gnucobol_round_trip.sh in|out NATIVE KVRFH KVR EXPECTED WORKDIR
#   in   NATIVE (GnuCOBOL's own handler) writes, kvr load, KVRFH reads
#   out  KVRFH writes, kvr unload, NATIVE reads
set -eu
direction=$1 native=$2 kvrfh=$3 kvr=$4 expected=$5 work=$6
rm -rf "$work" && mkdir -p "$work/written" "$work/moved" && cd "$work"
writer=$native reader=$kvrfh
[ "$direction" = in ] || { writer=$kvrfh reader=$native; }

# Writing prints only what it did not expect.
(cd written && "$writer" write) >write.out 2>&1 || true
if [ -s write.out ]; then echo "writing failed:"; cat write.out; exit 1; fi
(cd written && "$writer" read) >written.out 2>&1
diff -u "$expected" written.out

if [ "$direction" = in ]; then
    "$kvr" load moved/customers.dat written/customers.dat --format gnucobol \
        --record 27-41 --key 1:6 --key 7:8:dups --key 15:4
    "$kvr" load moved/accounts.rel written/accounts.rel --format gnucobol --relative --record 20
    "$kvr" load moved/ledger.seq written/ledger.seq --format gnucobol --sequential --record 12
    "$kvr" load moved/notes.seq written/notes.seq --format gnucobol --sequential --record 3-300
else
    for file in customers.dat accounts.rel ledger.seq notes.seq; do
        "$kvr" unload "written/$file" "moved/$file" --format gnucobol
    done
fi >kvr.out 2>&1 || { echo "kvr failed:"; cat kvr.out; exit 1; }

(cd moved && "$reader" read) >moved.out 2>&1
diff -u "$expected" moved.out
