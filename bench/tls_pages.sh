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
BUILD="${VARN_BENCH_BUILD:-$ROOT/build-bench}"
REPS="${REPS:-3}"
PARALLEL="${PARALLEL:-64}"
SIZE="${1:-1000}"

launcher=()
command -v ccache >/dev/null &&
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVARN_SANITIZE=OFF -DVARN_BENCH=ON \
  "${launcher[@]}" >/dev/null
cmake --build "$BUILD" -j2 --target PageSentry bench_program_dir >/dev/null
BIN="$BUILD/bin"

WORK="$(mktemp -d /tmp/varn-tls-bench.XXXXXX)"
NGINX_PID=""
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  wait 2>/dev/null || true
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
mkdir -p www nginx/logs
head -c 102400 /dev/zero | tr '\0' 'a' >www/page.html
cat >nginx/nginx.conf <<CONF
daemon off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server {
    listen 127.0.0.1:$PORT ssl backlog=4096;
    ssl_certificate $WORK/site.pem;
    ssl_certificate_key $WORK/site.key;
    root $WORK/www;
  }
}
CONF
[ "$(id -u)" = 0 ] && sed -i '1i user root root;' nginx/nginx.conf
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/logs/error.log" &
NGINX_PID=$!
for _ in $(seq 100); do
  curl -s -o /dev/null --cacert ca.pem "https://localhost:$PORT/page.html" && break
  sleep 0.1
done

for ((i = 0; i < SIZE; i++)); do echo "localhost $PORT /page.html"; done >targets
awk '{printf "url = \"https://%s:%s%s\"\noutput = \"/dev/null\"\n", $1, $2, $3}' targets >curl.cfg

now_ms() { date +%s%3N; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

run_agent() { # prints "<ms> <peak KB> <passed accounts>"
  local dir="$WORK/prog"
  rm -rf "$dir"
  "$BIN/bench_program_dir" "$dir" page targets 5 "$PARALLEL" >/dev/null
  printf '[PROGRAM]\nTLSCAFILE=%s\n' "$WORK/ca.pem" >>"$dir/Varnock.ini"
  mkdir -p "$dir/AccountOptions"
  for ((i = 0; i < SIZE; i++)); do
    k=$(printf 'bench%d' "$i" | od -An -tx1 | tr -d ' \n')
    printf '[ACCOUNT]\nSECURE=1\nPORT=%s\n' "$PORT" >"$dir/AccountOptions/$k.ini"
  done
  local t0 t1
  t0=$(now_ms)
  /usr/bin/time -f "%M" -o "$WORK/mem" "$BIN/PageSentry" "$dir" 1
  t1=$(now_ms)
  local ok
  ok=$(cat "$dir"/Log/*.log 2>/dev/null | grep -c "HTTP Web OK" || true)
  echo "$((t1 - t0)) $(cat "$WORK/mem") $ok"
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
  out=($(run_agent))
  agentTimes+=("${out[0]}")
  mems+=("${out[1]}")
  passed+=("${out[2]}")
  curlTimes+=("$(run_curl)")
done
a=$(printf '%s\n' "${agentTimes[@]}" | median)
c=$(printf '%s\n' "${curlTimes[@]}" | median)
m=$(printf '%s\n' "${mems[@]}" | median)
printf '%-40s %10s %10s %7s %9s %7s\n' scenario "agent ms" "curl ms" ratio "agent KB" passed
printf '%-40s %10s %10s %7s %9s %7s\n' "https page 100 KB, $SIZE accounts" "$a" "$c" \
  "$(awk -v a="$a" -v c="$c" 'BEGIN {printf "%.2f", a / c}')" "$m" "${passed[0]}"
