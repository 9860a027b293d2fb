#!/bin/sh
# The shared library exports _IO_Init, _IO_InitShared and _IO_LastDiagnostic,
# nothing else.
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u | tr '\n' ' ')
if [ "$exported" != "_IO_Init _IO_InitShared _IO_LastDiagnostic " ]; then
  echo "exported symbols of $1:"
  echo "$exported"
  exit 1
fi
