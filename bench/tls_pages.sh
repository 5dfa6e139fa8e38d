#!/usr/bin/env bash
# Secure pages side by side: PageSentry over N HTTPS page accounts of 100 KB against nginx on
# loopback, next to one curl process fetching the same URLs with the same concurrency
# (`curl --parallel`, every transfer on a connection of its own as the agent's are), with a
# certificate of a test authority made here. Prints medians, the ratio and the agent's peak
# memory.
#
# Usage: bash bench/tls_pages.sh [SIZE]       (default 1000)
#   REPS=n          runs per side (default 3)
#   PARALLEL=n      SCANPARALLEL of the agent and curl's --parallel-max (default 64)
#   VARN_BENCH_BUILD=dir   build folder (default build-bench, a Release build)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/bench_lib.sh"
REPS="${REPS:-3}"
PARALLEL="${PARALLEL:-64}"
SIZE="${1:-1000}"

bench_build PageSentry bench_program_dir

WORK="$(mktemp -d /tmp/varn-tls-bench.XXXXXX)"
cleanup() {
  stop_nginx
  rm -rf "$WORK"
}
trap cleanup EXIT

# A test authority and a certificate for localhost it signs.
cd "$WORK"
key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -days 60 -subj /CN=Bench-CA 2>/dev/null
openssl req -new "${key[@]}" -keyout site.key -out site.csr -subj /CN=localhost 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >site.ext
openssl x509 -req -in site.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 60 \
  -extfile site.ext -out site.pem 2>/dev/null

# nginx on a free loopback port: the 100 KB page over TLS.
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
write_nginx_conf "127.0.0.1:$PORT ssl" "$WORK/site.pem" "$WORK/site.key"
start_nginx
for _ in $(seq 100); do
  curl -s -o /dev/null --cacert ca.pem "https://localhost:$PORT/page.html" && break
  sleep 0.1
done

for ((i = 0; i < SIZE; i++)); do echo "localhost $PORT /page.html"; done >targets
awk '{printf "url = \"https://%s:%s%s\"\noutput = \"/dev/null\"\n", $1, $2, $3}' targets >curl.cfg

# Every account secure on the nginx port, the test authority trusted.
secure_accounts() { # programDir
  printf '[PROGRAM]\nTLSCAFILE=%s\n' "$WORK/ca.pem" >>"$1/Varnock.ini"
  mkdir -p "$1/AccountOptions"
  for ((i = 0; i < SIZE; i++)); do
    k=$(printf 'bench%d' "$i" | od -An -tx1 | tr -d ' \n')
    printf '[ACCOUNT]\nSECURE=1\nPORT=%s\n' "$PORT" >"$1/AccountOptions/$k.ini"
  done
}

run_curl() { # one curl process, the same concurrency, a connection per transfer
  local t0 t1
  t0=$(now_ms)
  curl -s -Z --parallel-max "$PARALLEL" --cacert "$WORK/ca.pem" -H "Connection: close" \
    -K curl.cfg >/dev/null 2>&1 || true
  t1=$(now_ms)
  echo "$((t1 - t0))"
}

agentTimes=() mems=() curlTimes=() passed=()
for ((r = 0; r < REPS; r++)); do
  out=($(run_agent PageSentry page targets 5 "$PARALLEL" secure_accounts))
  agentTimes+=("${out[0]}")
  mems+=("${out[1]}")
  passed+=("$(cat "$WORK"/prog/Log/*.log 2>/dev/null | grep -c "HTTP Web OK" || true)")
  curlTimes+=("$(run_curl)")
done
a=$(printf '%s\n' "${agentTimes[@]}" | median)
c=$(printf '%s\n' "${curlTimes[@]}" | median)
m=$(printf '%s\n' "${mems[@]}" | median)
printf '%-40s %10s %10s %7s %9s %7s\n' scenario "agent ms" "curl ms" ratio "agent KB" passed
printf '%-40s %10s %10s %7s %9s %7s\n' "https page 100 KB, $SIZE accounts" "$a" "$c" \
  "$(ratio "$a" "$c")" "$m" "${passed[0]}"
