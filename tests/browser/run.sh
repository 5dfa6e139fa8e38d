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
# The page's JavaScript and these tests keep one format (.prettierrc.json at the top).
( cd "$here/../.." && "$here/node_modules/.bin/prettier" --check --log-level=warn \
    resources/js tests/browser/lib tests/browser/tests )
export KTVARNOCK="$binary"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
if node --test-concurrency=1 -e 0 >/dev/null 2>&1; then
  node --test --test-concurrency=1 --test-reporter=spec tests/
else
  # Debian 12's own Node.js runs test files side by side and knows no concurrency option:
  # run the files one after another so two browsers never compete.
  status=0
  for file in tests/*.test.mjs; do
    node --test "$file" || status=1
  done
  exit "$status"
fi
