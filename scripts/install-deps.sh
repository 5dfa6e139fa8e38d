#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/apt/*.txt (one name a line, '#' comments).
# Each subsystem keeps its own list there. With --tests, also those of scripts/apt/test-only/:
# servers, peers and a browser that only the tests and benchmarks use. Services that those
# packages would start are not started by the install (the tests run private instances on
# loopback). Does nothing when everything is installed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
lists=("$here"/apt/*.txt)
if [ "${1:-}" = "--tests" ]; then
  lists+=("$here"/apt/test-only/*.txt)
fi
mapfile -t wanted < <(cat "${lists[@]}" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  # A policy that refuses every service start keeps the packages' own daemons (an FTP, POP3
  # or web server on every address) from starting; one already in place is left alone.
  policy=/usr/sbin/policy-rc.d
  own_policy=""
  if [ "${1:-}" = "--tests" ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    own_policy=yes
  fi
  status=0
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    status=$?
  if [ -n "$own_policy" ]; then $sudo rm -f "$policy"; fi
  exit $status
fi
