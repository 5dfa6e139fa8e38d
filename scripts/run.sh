#!/usr/bin/env bash
# Installs what the suite needs, builds it and starts the monitor console on a demo
# program directory (./demo unless VARN_HOME names another).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ ! -x build/bin/KTVarnock ]; then
  echo "Built everything into build/bin and build/lib. The console is not part of this build yet."
  ls build/bin build/lib
  exit 0
fi
exec bash scripts/start-demo.sh
