# Shared by the shell benchmarks (peers.sh, tls_pages.sh): the Release build, the private
# nginx, clocks and medians, and one timed agent run. Source it after setting ROOT.
#   BUILD  build folder (VARN_BENCH_BUILD, default build-bench, a Release build)
#   WORK   the benchmark's scratch folder (set before calling write_nginx_conf/run_agent)
BUILD="${VARN_BENCH_BUILD:-$ROOT/build-bench}"
BIN="$BUILD/bin"

# Configures the Release build and builds the given targets (ccache when present).
bench_build() {
  local launcher=()
  command -v ccache >/dev/null &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVARN_SANITIZE=OFF -DVARN_BENCH=ON \
    "${launcher[@]}" >/dev/null
  cmake --build "$BUILD" -j2 --target "$@" >/dev/null
}

# A 100 KB page (and a small index page) in $WORK/www, and $WORK/nginx/nginx.conf serving it
# on `listen` (an nginx listen argument, e.g. "127.0.0.1:8443 ssl" or "18080"), with the
# certificate and key when given. Runs as root when the benchmark is root.
write_nginx_conf() { # listen [cert key]
  mkdir -p "$WORK/www" "$WORK/nginx/logs"
  echo "index" >"$WORK/www/index.htm"
  head -c 102400 /dev/zero | tr '\0' 'a' >"$WORK/www/page.html"
  local tls=""
  [ -n "${2:-}" ] && tls="ssl_certificate $2; ssl_certificate_key $3;"
  cat >"$WORK/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server {
    listen $1 backlog=4096;
    $tls
    root $WORK/www;
  }
}
CONF
  if [ "$(id -u)" = 0 ]; then sed -i '1i user root root;' "$WORK/nginx/nginx.conf"; fi
}

# Starts nginx with that configuration in the background (it writes $WORK/nginx.pid).
start_nginx() {
  nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/logs/error.log"
}
stop_nginx() {
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null || true
}

now_ms() { date +%s%3N; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

# Runs an agent over a fresh program directory $WORK/prog made by bench_program_dir from a
# targets file; `prepare`, when given, is called with the folder before the run (extra
# settings, side files). Prints "<ms> <peak KB>".
run_agent() { # program kind targetsFile interval parallel [prepare]
  local dir="$WORK/prog"
  rm -rf "$dir"
  "$BIN/bench_program_dir" "$dir" "$2" "$3" "$4" "$5" >/dev/null
  [ -n "${6:-}" ] && "$6" "$dir"
  local t0 t1
  t0=$(now_ms)
  /usr/bin/time -f "%M" -o "$WORK/mem" "$BIN/$1" "$dir" 1
  t1=$(now_ms)
  echo "$((t1 - t0)) $(cat "$WORK/mem")"
}
