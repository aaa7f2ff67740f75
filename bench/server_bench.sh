#!/usr/bin/env bash
# Load on the reference update server: 1, 100 and 1,000 simulated
# workstations, each reporting a 5,000-file inventory, over loopback in a
# private network namespace. Prints sessions per second, latencies and the
# server's peak memory (VmHWM) for each level; the server starts afresh
# for every level. ULMAR_LOAD_SECONDS sets the time per level (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/load_bench.sh
ulmar_enter_namespace ulmar-update-server server_load -- "$@"

work="$PWD/build/server-bench"
ulmar_bench_release "$work"

server="build/release/bin/ulmar-update-server"
seconds="${ULMAR_LOAD_SECONDS:-10}"
for clients in 1 100 1000; do
  log="$work/server-$clients.log"
  rm -f "$log"
  # Every simulated workstation comes from 127.0.0.1: no cap per address.
  "$server" --releases "$work/releases" --listen 127.0.0.1:8090 --log "$log" --rescan 60 --per-peer 1000000 \
    --state "$work/state" --database off &
  pid=$!
  for _ in $(seq 100); do grep -q listening "$log" 2>/dev/null && break; sleep 0.05; done
  idle=$(awk '/VmRSS/ {print $2}' /proc/$pid/status)
  out=$(build/release/bench/server_load --tree "$release/files" --suite BENCH --clients "$clients" --seconds "$seconds" || true)
  echo "$out"
  peak=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
  # utime + stime, in clock ticks.
  ticks=$(awk '{print $14 + $15}' /proc/$pid/stat)
  sessions=$(echo "$out" | awk '{for (i = 1; i < NF; i++) if ($i == "sessions") print $(i + 1)}')
  echo "        server memory: $((idle / 1024)) MiB after loading the release, peak $((peak / 1024)) MiB;" \
       "server CPU $(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v n="$sessions" 'BEGIN {printf "%.2f", t / hz * 1000 / (n ? n : 1)}') ms per session"
  kill -TERM $pid
  wait $pid
done
