#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a given time.
#
#   bash bench/fuzz.sh [seconds] [targets...]
#
# seconds defaults to 600; the targets default to all of them (smtp_reply http_response
# link_scan key_store console_act kanjimap_detect). Each target runs on a copy of its seed
# corpus (tests/fuzz/corpus/<target>) in build-fuzz/run/<target>, with a memory limit and a
# per-input time-out. A crash does not end the run: the reproducer is copied to
# tests/fuzz/corpus/<target>/crashes/ and the target starts again for the time that is left.
# Per target the script prints executions, executions per second, coverage and crashes.
#
# Environment: FUZZ_BUILD (build-fuzz), FUZZ_RSS_MB (1024), FUZZ_TIMEOUT (15 s per input),
# FUZZ_NICE (10), FUZZ_NO_BUILD=1 to run what is built, FUZZ_ARGS for more libFuzzer flags
# (for instance "-len_control=0" to try long inputs from the start).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

seconds="${1:-600}"
shift || true
all=(smtp_reply http_response link_scan key_store console_act kanjimap_detect)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
build="${FUZZ_BUILD:-build-fuzz}"
rss="${FUZZ_RSS_MB:-1024}"
timeout="${FUZZ_TIMEOUT:-15}"
niceness="${FUZZ_NICE:-10}"

# The largest input per target: a request body of the console is capped at 64 KB.
max_len() {
  case "$1" in
    console_act) echo 65536 ;;
    *) echo 4096 ;;
  esac
}

if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
  cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVARN_FUZZ=ON \
    -DVARN_TESTS=OFF -DVARN_BENCH=OFF >/dev/null
  nice -n "$niceness" cmake --build "$build" -j2 --target "${targets[@]/%/_fuzz}"
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

summary=()
for t in "${targets[@]}"; do
  program="$build/bin/${t}_fuzz"
  [ -x "$program" ] || { echo "no program $program" >&2; exit 1; }
  work="$build/run/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts" "$work/logs"
  find "tests/fuzz/corpus/$t" -path '*/crashes' -prune -o -type f -exec cp {} "$work/corpus/" \;
  start=$(date +%s)
  execs=0
  round=0
  cov=0
  ft=0
  rate_sum=0
  while :; do
    left=$((seconds - ($(date +%s) - start)))
    [ "$left" -ge 5 ] || break
    round=$((round + 1))
    log="$work/logs/round$round.log"
    set +e
    nice -n "$niceness" "$program" "$work/corpus" -max_total_time="$left" \
      -rss_limit_mb="$rss" -timeout="$timeout" -max_len="$(max_len "$t")" \
      -artifact_prefix="$work/artifacts/" -print_final_stats=1 ${FUZZ_ARGS:-} >"$log" 2>&1
    status=$?
    set -e
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    execs=$((execs + ${n:-0}))
    line=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1 || true)
    if [ -n "$line" ]; then
      cov=$(echo "$line" | awk '{print $2}')
      ft=$(echo "$line" | awk '{print $4}')
    fi
    [ "$status" -eq 0 ] && break
    echo "$t: round $round ended with status $status (see $log)"
    grep -E 'ERROR: |SUMMARY: |check failed|Test unit written' "$log" | head -5 || true
    # A program that fails before running an input would fail again at once.
    [ "${n:-0}" -gt 0 ] || break
  done
  elapsed=$(( $(date +%s) - start ))
  crashes=$(find "$work/artifacts" -type f | wc -l)
  if [ "$crashes" -gt 0 ]; then
    mkdir -p "tests/fuzz/corpus/$t/crashes"
    cp "$work/artifacts"/* "tests/fuzz/corpus/$t/crashes/"
  fi
  rate=$(( elapsed > 0 ? execs / elapsed : execs ))
  row="$t: ${elapsed} s, ${execs} execs (${rate}/s), cov ${cov}, ft ${ft}, corpus $(ls "$work/corpus" | wc -l), crashes ${crashes}"
  echo "$row"
  summary+=("$row")
done
echo "---"
printf '%s\n' "${summary[@]}"
