#!/usr/bin/env bash
# check_exports.sh <nm> "<library path>=<name> <name> ..." ...
# Fails unless each library's dynamic symbol table defines exactly the names listed.
set -euo pipefail
nm="$1"
shift
status=0
for spec in "$@"; do
  lib="${spec%%=*}"
  want="$(tr ' ' '\n' <<<"${spec#*=}" | sed '/^$/d' | sort)"
  got="$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sort)"
  if [ "$want" != "$got" ]; then
    echo "$(basename "$lib"): exports differ (< wanted, > found)"
    diff <(echo "$want") <(echo "$got") || true
    status=1
  else
    echo "$(basename "$lib"): $(echo $got)"
  fi
done
exit $status
