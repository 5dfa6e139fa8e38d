#!/bin/sh
# Usage: check_exports.sh <library> <name>...
# Passes when the library's dynamic symbol table defines exactly the given names.
lib="$1"
shift
expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports: $actual"
