#!/bin/sh
# The shared library exports _IO_Init and nothing else.
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u)
if [ "$exported" != "_IO_Init" ]; then
  echo "exported symbols of $1:"
  echo "$exported"
  exit 1
fi
