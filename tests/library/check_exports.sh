#!/bin/sh
# The shared library exports _IO_Init and _IO_InitShared, nothing else.
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u | tr '\n' ' ')
if [ "$exported" != "_IO_Init _IO_InitShared " ]; then
  echo "exported symbols of $1:"
  echo "$exported"
  exit 1
fi
