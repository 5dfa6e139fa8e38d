#!/usr/bin/env bash
# Starts the console on a demo program directory (./demo unless VARN_HOME names another).
# A new directory first gets a working setup: a mail server on 127.0.0.1, intervals of one
# minute, and accounts that watch this machine (a ping of 127.0.0.1, the console's own
# port, and a small demo listener whose port you can close to watch it go red).
# Alert mails go to a mail catcher on 127.0.0.1:25 that keeps each one as an .eml file in
# <demo>/caught-mail.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
console="${VARN_CONSOLE:-$root/build/bin/KTVarnock}"
home="${VARN_HOME:-$root/demo}"
port="${VARN_PORT:-8650}"
listener_port="${VARN_DEMO_LISTENER:-8651}"
mkdir -p "$home"
home="$(cd "$home" && pwd)"
cd "$home"
if [ ! -f Setting/Alert.dat ]; then
  echo "Writing the demo setup into $home"
  "$console" --init-demo --init --port "$port" --demo-listener "$listener_port"
fi

# The demo listener: a tiny web server on loopback that the "Demo listener" account checks.
# It serves its own empty folder, never the folder you started the script in.
mkdir -p listener-root
listener_cmd=(python3 -m http.server "$listener_port" --bind 127.0.0.1 --directory "$home/listener-root")
listener_pid=""
if command -v python3 >/dev/null; then
  "${listener_cmd[@]}" >/dev/null 2>&1 &
  listener_pid=$!
  echo "$listener_pid" > demo-listener.pid
fi

# The mail catcher: the demo's alert mails land in caught-mail/ as .eml files. Port 25 needs
# root; as another user it runs through sudo when sudo lets it without a password.
mkdir -p caught-mail
catcher_pid=""
catcher=(/usr/bin/python3 "$root/scripts/mail-catcher.py" "$home/caught-mail" --host 127.0.0.1
         --port 25 --owner "$(id -u):$(id -g)")
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then catcher=(sudo -n "${catcher[@]}"); else catcher=(); fi
fi
if [ ${#catcher[@]} -gt 0 ]; then
  "${catcher[@]}" > .mail-catcher.out 2>&1 &
  catcher_pid=$!
  for _ in $(seq 50); do
    grep -q '^listening' .mail-catcher.out 2>/dev/null && break
    kill -0 "$catcher_pid" 2>/dev/null || break
    sleep 0.1
  done
fi
if [ -n "$catcher_pid" ] && grep -q '^listening' .mail-catcher.out 2>/dev/null; then
  mail_info="Alert mails land in:     $home/caught-mail (one .eml file per mail)"
else
  reason="$(cat .mail-catcher.out 2>/dev/null || true)"
  mail_info="Alert mails are NOT caught: no mail catcher on 127.0.0.1:25 (${reason:-it needs root or sudo})"
  catcher_pid=""
fi

stop_helpers() {
  if [ -n "$listener_pid" ]; then kill "$listener_pid" 2>/dev/null || true; fi
  if [ -n "$catcher_pid" ]; then kill "$catcher_pid" 2>/dev/null || sudo -n kill "$catcher_pid" 2>/dev/null || true; fi
  rm -f "$home/demo-listener.pid" "$home/.mail-catcher.out"
}
trap stop_helpers EXIT

cat <<INFO
Demo program directory:  $home
$mail_info
The lamps turn green within a minute once the scan agents are built (build/bin).
To watch a port go down:  kill \$(cat "$home/demo-listener.pid")
  ... its row turns yellow, then red, and a Down mail arrives in caught-mail/.
To bring it back:         ${listener_cmd[*]} &
Stop the console with Ctrl+C (or File > Exit in the page).
INFO
"$console" --port "$port"
