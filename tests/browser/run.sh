#!/usr/bin/env bash
# Browser tests of the console: headless chromium driven by playwright-core against
# <build dir>/bin/KTVarnock on temporary program directories.
set -euo pipefail
build="${1:?usage: run.sh <build dir>}"
here="$(cd "$(dirname "$0")" && pwd)"
binary="$(cd "$build" && pwd)/bin/KTVarnock"
if [ ! -x "$binary" ]; then
  echo "run.sh: $binary is missing; build the console first" >&2
  exit 1
fi
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ! -x /usr/bin/chromium ]; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends chromium
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends nodejs npm
fi
cd "$here"
npm ci --no-audit --no-fund --loglevel=error || npm install --no-audit --no-fund --loglevel=error
export KTVARNOCK="$binary"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
node --test --test-concurrency=1 --test-reporter=spec tests/
