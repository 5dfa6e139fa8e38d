#!/usr/bin/env bash
# The scan agents side by side with Debian's tools on the same hosts, in one invocation:
# ping (EchoSentry against fping), TCP connect and first line (WebPortSentry against
# blackbox_exporter's tcp probes and check_tcp) and a 100 KB page (PageSentry against one
# curl process over the same URLs). Agent and peer alternate; medians and ratios are
# printed per scenario, with the agent's peak memory.
#
# Everything runs in a network namespace of the script's own (unshare -rn): the living
# hosts are loopback addresses (nginx answers on all of them), the dead ones 10.201.x.y,
# routed into a tun device that nobody reads, so their packets vanish.
#
# Usage: bash bench/peers.sh [SIZE...]        (default: 200 1000)
#   REPS=n          runs per side and scenario (default 3)
#   PARALLEL=n      SCANPARALLEL of the agents' program directories (default 64, the
#                   agents' own default)
#   ONLY=regex      only the scenarios whose label matches (e.g. ONLY=ping)
#   VARN_BENCH_BUILD=dir   build folder (default build-bench, a Release build)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/bench_lib.sh"
REPS="${REPS:-3}"
PARALLEL="${PARALLEL:-64}"
ONLY="${ONLY:-.}"
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(200 1000)

if [ -z "${VARN_PEERS_INSIDE:-}" ]; then
  # Peers and tools from Debian's archive.
  missing=()
  for pkg in $(sed 's/#.*//' "$ROOT/scripts/apt/test-only/bench.txt"); do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"
  fi
  bench_build EchoSentry WebPortSentry PageSentry bench_program_dir
  exec unshare -rn env VARN_PEERS_INSIDE=1 bash "$0" "${SIZES[@]}"
fi

# ---- inside the namespace ----
WORK="$(mktemp -d /tmp/varn-peers.XXXXXX)"
NGINX_PORT=18080
BLACKBOX=127.0.0.1:19115
cleanup() {
  stop_nginx
  [ -n "${BB_PID:-}" ] && kill "$BB_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

ip link set lo up
ip tuntap add dev t0 mode tun
ip addr add 10.200.0.1/24 dev t0
ip link set t0 up
ip route add 10.201.0.0/16 dev t0

# nginx on every loopback address: the index page for the port probes, a 100 KB page.
write_nginx_conf "$NGINX_PORT"
start_nginx

cat >"$WORK/blackbox.yml" <<'CONF'
modules:
  tcp:
    prober: tcp
    timeout: 1s
    tcp:
      preferred_ip_protocol: ip4
      query_response:
        - send: "GET /index.htm HTTP/1.1\r\nConnection: Keep-Alive\r\n\r"
        - expect: "^HTTP"
CONF
prometheus-blackbox-exporter --config.file="$WORK/blackbox.yml" \
  --web.listen-address="$BLACKBOX" >"$WORK/blackbox.log" 2>&1 &
BB_PID=$!
for _ in $(seq 50); do
  curl -s -o /dev/null "http://$BLACKBOX/metrics" && break
  sleep 0.1
done

# Host i: loopback 127.0.a.b when alive, 10.201.a.b when dead (every tenth one when asked).
host_of() { # index dead(0|1)
  local i=$1 a=$(($1 / 250)) b=$(($1 % 250 + 1))
  if [ "$2" = 1 ]; then echo "10.201.$a.$b"; else echo "127.0.$a.$b"; fi
}
targets() { # size deadEvery(0: none) port path
  local size=$1 every=$2 port=$3 path=$4 i dead
  for ((i = 0; i < size; i++)); do
    dead=0
    [ "$every" -gt 0 ] && [ $((i % every)) -eq 3 ] && dead=1
    echo "$(host_of "$i" "$dead") $port $path"
  done
}

# Runs a peer command; prints its milliseconds.
run_peer() {
  local t0 t1
  t0=$(now_ms)
  "$@" >/dev/null 2>&1 || true
  t1=$(now_ms)
  echo "$((t1 - t0))"
}

peer_fping() { fping -q -r5 -B1 -t1500 -i1 -f "$1"; }
peer_blackbox() { # targets: 100 probes in flight through the exporter
  awk -v bb="$BLACKBOX" '{printf "url = \"http://%s/probe?module=tcp&target=%s:%s\"\noutput = \"/dev/null\"\n", bb, $1, $2}' "$1" >"$WORK/bb.cfg"
  curl -s -Z --parallel-max 100 -K "$WORK/bb.cfg"
}
peer_check_tcp() { # targets: check_tcp per port, 64 at a time, sending the same request
  awk '{print $1, $2}' "$1" | xargs -P 64 -n 2 sh -c \
    '/usr/lib/nagios/plugins/check_tcp -H "$0" -p "$1" -t 1 -s "GET /index.htm HTTP/1.1\r\n\r\n" -e HTTP >/dev/null'
}
peer_curl() { # targets: one curl process, the URLs one after another
  awk '{printf "url = \"http://%s:%s%s\"\noutput = \"/dev/null\"\n", $1, $2, $3}' "$1" >"$WORK/curl.cfg"
  curl -s -K "$WORK/curl.cfg"
}

printf '%-44s %10s %10s %7s %9s\n' scenario "agent ms" "peer ms" ratio "agent KB"
# One scenario: alternating runs, then medians and the ratio agent/peer.
scenario() { # label program kind targetsFile parallel peerFunction
  local label=$1 program=$2 kind=$3 file=$4 parallel=$5 peer=$6
  local agentTimes=() peerTimes=() mems=() r out
  [[ "$label" =~ $ONLY ]] || return 0
  for ((r = 0; r < REPS; r++)); do
    out=$(run_agent "$program" "$kind" "$file" 1 "$parallel")
    agentTimes+=("${out% *}")
    mems+=("${out#* }")
    peerTimes+=("$(run_peer "$peer" "$file")")
  done
  local a p m
  a=$(printf '%s\n' "${agentTimes[@]}" | median)
  p=$(printf '%s\n' "${peerTimes[@]}" | median)
  m=$(printf '%s\n' "${mems[@]}" | median)
  printf '%-44s %10s %10s %7s %9s\n' "$label" "$a" "$p" "$(ratio "$a" "$p")" "$m"
}
# The time-out floor of one dead port: two connects of 1 s with the 500 ms pause between.
FLOOR_MS=2500

for size in "${SIZES[@]}"; do
  targets "$size" 10 0 / | awk '{print $1}' >"$WORK/ping-dead"
  targets "$size" 10 0 / >"$WORK/ping-dead.t"
  targets "$size" 10 "$NGINX_PORT" / >"$WORK/tcp-dead.t"
  targets "$size" 0 "$NGINX_PORT" / >"$WORK/tcp-alive.t"
  targets "$size" 0 "$NGINX_PORT" /page.html >"$WORK/page.t"

  fping_hosts() { peer_fping "$WORK/ping-dead"; }
  scenario "ping $size hosts, 10% dead vs fping" EchoSentry ping "$WORK/ping-dead.t" "$PARALLEL" fping_hosts
  scenario "TCP $size ports, 10% dead vs blackbox" WebPortSentry port "$WORK/tcp-dead.t" "$PARALLEL" peer_blackbox
  floor() { sleep "$(awk -v f=$FLOOR_MS 'BEGIN {print f / 1000}')"; }
  scenario "TCP $size ports, 10% dead vs time-out floor" WebPortSentry port "$WORK/tcp-dead.t" "$PARALLEL" floor
  scenario "TCP $size ports, all alive vs blackbox" WebPortSentry port "$WORK/tcp-alive.t" "$PARALLEL" peer_blackbox
  scenario "TCP $size ports, all alive vs check_tcp" WebPortSentry port "$WORK/tcp-alive.t" "$PARALLEL" peer_check_tcp
  scenario "page 100 KB, $size accounts vs one curl" PageSentry page "$WORK/page.t" "$PARALLEL" peer_curl
done
