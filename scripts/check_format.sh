#!/bin/sh
# check_format.sh - checks that every C and C++ source file in the
# repository is laid out as the project's .clang-format says; names each
# file that is not and exits 1. With --fix, lays the files out instead.
# Run from anywhere; needs clang-format (Debian's package of that name).
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
    # shellcheck disable=SC2086 # one word per file name; none has spaces
    clang-format -i $files
    exit 0
fi
differ=0
for f in $files; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
        echo "not laid out as .clang-format says: $f (scripts/check_format.sh --fix)"
        differ=$((differ + 1))
    fi
done
count=$(echo "$files" | wc -l)
if [ "$differ" -ne 0 ]; then
    echo "$differ of $count files differ from .clang-format"
    exit 1
fi
echo "all $count files laid out as .clang-format says"
