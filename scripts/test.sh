#!/usr/bin/env bash
# Installs what the tests need, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test (unit, integration and browser).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh --tests
build="${VARN_TEST_BUILD:-build-test}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_SANITIZE=ON -DVARN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600
if [ -f tests/browser/package.json ]; then
  bash tests/browser/run.sh "$build"
fi
