#!/bin/sh
# Checks that the shared library $1 exports exactly the functions that the header $2 declares.
set -eu
expected=$(grep -E '^QM_API' "$2" | sed -E 's/^QM_API[^(]*[ *]([A-Za-z_0-9]+)\(.*/\1/' | LC_ALL=C sort)
# The last field of each line is the symbol name; a version suffix (name@@VER) is dropped.
actual=$(nm -D --defined-only "$1" | awk '{ print $NF }' | sed 's/@.*//' | LC_ALL=C sort)
if [ "$actual" != "$expected" ] || [ -z "$expected" ]; then
  printf 'exports of %s differ from the header:\nexpected:\n%s\nfound:\n%s\n' "$1" "$expected" "$actual"
  exit 1
fi
echo "exports of $1: the $(echo "$expected" | wc -l) functions of the C interface"
