#!/usr/bin/env bash
# Builds what the benchmarks need and runs every one of them, then prints one table: each
# figure beside the anchor it was measured against in the same run, the ratio and the aim.
# bench/README.md says what each benchmark measures.
#
#   bash scripts/bench.sh              # all of them
#   bash scripts/bench.sh sessions rpc # only those whose names contain one of the words
#
# Environment: JOBS (default 2) for the build; BUILD_DIR (default build); BENCH_LOG_DIR
# (default a new folder under /tmp) keeps each benchmark's whole output. Benchmarks that
# open sockets run in a private network namespace when `unshare -n` works (root), so fixed
# ports never meet another server on the machine. The boot benchmark needs root, ip netns,
# in.tftpd and dnsmasq, and is reported as skipped without them. Nothing is asserted: a
# benchmark is never a test.
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
BUILD_DIR=${BUILD_DIR:-build}
LOG_DIR=${BENCH_LOG_DIR:-$(mktemp -d /tmp/dornel-bench-XXXXXX)}
mkdir -p "$LOG_DIR"
wanted=("$@")

case "${1:-}" in
  -h | --help)
    sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac

targets=(dornelman dornelreg dornelsc custauth printlink
  sessions_bench rpc_search_bench cashup_bench eventlog_bench link_bench backends_bench
  boot_bench)

echo "== build ($BUILD_DIR, $JOBS jobs)"
if [ ! -f "$BUILD_DIR/build.ninja" ] && [ ! -f "$BUILD_DIR/Makefile" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S . -B "$BUILD_DIR" -G Ninja -DDORNEL_WERROR=ON "${launcher[@]}" >/dev/null || exit 1
fi
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${targets[@]}" >"$LOG_DIR/build.log" 2>&1 || {
  tail -30 "$LOG_DIR/build.log"
  echo "bench.sh: the build failed (whole log: $LOG_DIR/build.log)" >&2
  exit 1
}

bin=$(cd "$BUILD_DIR" && pwd)/bin
bench=$(cd "$BUILD_DIR" && pwd)/bench

# Runs the command inside a private network namespace with loopback up, when one can be
# made; otherwise as it is.
isolated() {
  if unshare -n true 2>/dev/null; then
    unshare -n -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
  else
    "$@"
  fi
}

selected() {
  [ ${#wanted[@]} -eq 0 ] && return 0
  local word
  for word in "${wanted[@]}"; do
    [[ "$1" == *"$word"* ]] && return 0
  done
  return 1
}

load() { uptime | sed 's/.*load average: /load /'; }

machine="$(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "== machine: $machine"
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(load) at the start"
declare -a skipped=()

run() {
  local name=$1
  shift
  selected "$name" || return 0
  echo "== $name ($(load))"
  if "$@" >"$LOG_DIR/$name.txt" 2>&1; then
    grep -v '^TABLE|' "$LOG_DIR/$name.txt" | sed 's/^/   /'
  else
    skipped+=("$name: $(grep -v '^TABLE|' "$LOG_DIR/$name.txt" | tail -1)")
    echo "   did not finish; see $LOG_DIR/$name.txt"
  fi
}

run sessions isolated env DORNEL_BIN_DIR="$bin" "$bench/sessions_bench"
run rpc_search isolated "$bench/rpc_search_bench"
run cashup "$bench/cashup_bench" 100 4
run eventlog "$bench/eventlog_bench"
run link isolated "$bench/link_bench"
run backends "$bench/backends_bench"
if [ "$(id -u)" = 0 ] && command -v in.tftpd >/dev/null && command -v dnsmasq >/dev/null; then
  run boot isolated "$bench/boot_bench"
elif selected boot; then
  skipped+=("boot: needs root, ip netns, in.tftpd and dnsmasq")
fi

echo
echo "== results ($(load) at the end; machine: $machine)"
cat "$LOG_DIR"/*.txt 2>/dev/null | grep '^TABLE|' | awk -F'|' '
  BEGIN {
    printf "%-11s %-40s %16s  %-30s %16s  %7s  %s\n", "benchmark", "figure", "value", "anchor", "anchor value", "ratio", "aim"
  }
  { printf "%-11s %-40s %16s  %-30s %16s  %7s  %s\n", $2, $3, $4, $5, $6, $7, $8 }'
for line in "${skipped[@]}"; do echo "skipped  $line"; done
echo "(whole outputs: $LOG_DIR)"
