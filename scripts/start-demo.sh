#!/usr/bin/env bash
# Starts the console on a demo program directory (./demo unless VARN_HOME names another).
# A new directory first gets a working setup: a mail server on 127.0.0.1, intervals of one
# minute, and accounts that watch this machine (a ping of 127.0.0.1, the console's own
# port, and a small demo listener whose port you can close to watch it go red).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
console="$root/build/bin/KTVarnock"
home="${VARN_HOME:-$root/demo}"
port="${VARN_PORT:-8650}"
listener_port="${VARN_DEMO_LISTENER:-8651}"
mkdir -p "$home"
cd "$home"
if [ ! -f Setting/Alert.dat ]; then
  echo "Writing the demo setup into $home"
  "$console" --init-demo --port "$port" --demo-listener "$listener_port"
fi

# The demo listener: a tiny web server on loopback that the "Demo listener" account checks.
listener_pid=""
if command -v python3 >/dev/null; then
  mkdir -p listener-root
  python3 -m http.server "$listener_port" --bind 127.0.0.1 --directory listener-root \
    >/dev/null 2>&1 &
  listener_pid=$!
  echo "$listener_pid" > demo-listener.pid
fi
stop_listener() {
  if [ -n "$listener_pid" ]; then kill "$listener_pid" 2>/dev/null || true; fi
  rm -f "$home/demo-listener.pid"
}
trap stop_listener EXIT

cat <<INFO
Demo program directory: $home
The lamps turn green within a minute once the scan agents are built (build/bin).
To watch a port go down:  kill \$(cat "$home/demo-listener.pid")
To bring it back:         python3 -m http.server $listener_port --bind 127.0.0.1 &
Stop the console with Ctrl+C (or File > Exit in the page).
INFO
"$console" --port "$port"
