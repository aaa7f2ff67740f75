#!/usr/bin/env bash
# The fleet's records under load, in a private network namespace:
#  1. sessions per second of 100 simulated workstations at once (a fleet of
#     10,000 with varied inventories of 5,000 files) with recording off, into
#     SQLite and into PostgreSQL (a local server started here), in turn,
#     ULMAR_LOAD_ROUNDS times (default 3) for ULMAR_LOAD_SECONDS each (default
#     15), with what was written and dropped, and the medians;
#  2. the store's size per 1,000 workstations over 30 days of daily
#     log-ons, and the page's response times for a fleet of 10,000
#     workstations (30 days of history), in both stores.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/load_bench.sh
ulmar_enter_namespace ulmar-update-server server_load fleet_store_bench -- "$@"

work="$PWD/build/fleet-bench"
ulmar_bench_release "$work" --no-sources
rm -rf "$work/state" "$work"/*.log
pg="$(mktemp -d /tmp/ulmar-pg-bench-XXXXXX)"
trap 'python3 tools/peers/postgres.py stop "$pg" --immediate; rm -rf "$pg"' EXIT
conninfo="$(python3 tools/peers/postgres.py start "$pg" 5432)"

server="build/release/bin/ulmar-update-server"
seconds="${ULMAR_LOAD_SECONDS:-15}"
rounds="${ULMAR_LOAD_ROUNDS:-3}"
echo "load: 100 workstations at once, a fleet of 10,000, ${seconds} s a run; $rounds rounds of the three, taken in turn"
declare -A rates
for round in $(seq "$rounds"); do
  for store in off sqlite postgres; do
    case "$store" in
      postgres) database="$conninfo" ;;
      *) database="$store" ;;
    esac
    log="$work/server-$store.log"
    rm -f "$log"
    "$server" --releases "$work/releases" --listen 127.0.0.1:8090 --log "$log" --rescan 60 --per-peer 1000000 \
      --state "$work/state" --database "$database" --http 127.0.0.1:8091 &
    pid=$!
    for _ in $(seq 200); do grep -q listening "$log" 2>/dev/null && break; sleep 0.05; done
    if [ "$store" != off ]; then
      for _ in $(seq 200); do grep -q "recording into" "$log" && break; sleep 0.05; done
    fi
    out=$(build/release/bench/server_load --tree "$release/files" --suite BENCH --clients 100 --seconds "$seconds" \
            --fleet 10000 || true)
    sessions=$(echo "$out" | awk '{for (i = 1; i < NF; i++) if ($i == "sessions") print $(i + 1)}')
    rate=$(echo "$out" | awk '{for (i = 2; i <= NF; i++) if ($i == "sessions/s") print $(i - 1)}')
    rates[$store]="${rates[$store]:-} $rate"
    recording=""
    if [ "$store" != off ]; then
      # Everything is written within a few seconds of the load's end.
      for _ in $(seq 600); do
        counts=$(curl -s http://127.0.0.1:8091/api/overview |
                 python3 -c 'import json,sys; r = json.load(sys.stdin)["recording"]; print(r["written"], r["dropped"])' \
                 2>/dev/null || echo "0 0")
        read -r written dropped <<< "$counts"
        [ "$((written + dropped))" -ge "$sessions" ] && break
        sleep 0.1
      done
      recording="; recorded $written, dropped $dropped"
    fi
    echo "  recording $(printf '%-9s' "$store") ${out}${recording}"
    kill -TERM $pid
    wait $pid
  done
done
median() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
off=$(median "${rates[off]}")
for store in off sqlite postgres; do
  m=$(median "${rates[$store]}")
  echo "  median $(printf '%-9s' "$store") $m sessions/s ($(awk -v m="$m" -v o="$off" 'BEGIN {printf "%.2f", m / o}')x of recording off)"
done

echo "store size and page response times"
clear_postgres() { psql "$conninfo" -qc 'DROP SCHEMA public CASCADE; CREATE SCHEMA public;'; }
for workstations in 1000 10000; do
  rm -f "$work/fleet-bench.sqlite"*
  clear_postgres
  build/release/bench/fleet_store_bench --store "sqlite:$work/fleet-bench.sqlite" --workstations "$workstations" --days 30
  build/release/bench/fleet_store_bench --store "postgres:$conninfo" --workstations "$workstations" --days 30
done
