#!/bin/sh
# Checks that the shared library given as $1 exports exactly the functions of the C interface.
set -eu

lib="$1"
expected="Free1DIntArray
GetCurrentTimeStamp
GetTimeChannelValues
MDF4_AddChannel
MDF4_AddChannelData1D
MDF4_AddChannelData2D
MDF4_AddChannelGroup
MDF4_Close
MDF4_Create
MDF4_FreeString
MDF4_LTT_AddChannelData
MDF4_LTT_GetChannelGroupName
MDF4_LTT_GetLimitIDs
MDF4_Sort"

# The last field of each line is the symbol name; a version suffix (name@@VER) is dropped.
actual=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sed 's/@.*//' | LC_ALL=C sort)
expected=$(printf '%s\n' "$expected" | LC_ALL=C sort)

if [ "$actual" != "$expected" ]; then
  echo "exports of $lib differ from the C interface"
  echo "expected:"
  printf '%s\n' "$expected" | sed 's/^/  /'
  echo "found:"
  printf '%s\n' "$actual" | sed 's/^/  /'
  exit 1
fi
echo "exports of $lib: the 14 functions of the C interface"
