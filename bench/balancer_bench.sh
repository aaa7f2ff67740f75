#!/usr/bin/env bash
# Update servers behind HAProxy, in a private network namespace, with the
# release build, all recording into one PostgreSQL (started here):
#  1. sessions per second of 100 simulated workstations at once (a fleet of
#     10,000 with varied inventories of 5,000 files): straight to one server,
#     through HAProxy to one server, through HAProxy to two; taken in turn,
#     ULMAR_LOAD_ROUNDS times (default 3) for ULMAR_LOAD_SECONDS each (default
#     15; 0 skips this part), with what was recorded, and the medians;
#     HAProxy runs one thread per processor, as on a site.
#  2. fail-over: under the same load through HAProxy to two servers, one is
#     killed (SIGKILL); the time from the kill until HAProxy marks it DOWN,
#     and until the last conversation that failed because of it, from
#     HAProxy's own log of each connection; how many failed, and how many
#     HAProxy sent on to the other server after the dead one refused them
#     (HAProxy runs one thread here, so that it logs every connection).
# Addresses: HAProxy 127.0.0.10:8090, servers 127.0.0.11:8090 and
# 127.0.0.12:8090 (pages on port 8091 of each), PostgreSQL 127.0.0.13:5432.
# All of it shares this machine's cores: a second server adds no processor,
# only a second process to the same ones.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/load_bench.sh
ulmar_enter_namespace ulmar-update-server server_load -- "$@"

work="$PWD/build/balancer-bench"
ulmar_bench_release "$work" --no-sources
rm -rf "$work"/state-* "$work"/*.log "$work"/haproxy*
server="build/release/bin/ulmar-update-server"
load="build/release/bench/server_load"
seconds="${ULMAR_LOAD_SECONDS:-15}"
rounds="${ULMAR_LOAD_ROUNDS:-3}"
declare -A address=([a]=127.0.0.11 [b]=127.0.0.12)
declare -A pids=()

pg="$(mktemp -d /tmp/ulmar-pg-balancer-XXXXXX)"
cleanup() {
  for name in "${!pids[@]}"; do kill -TERM "${pids[$name]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  python3 tools/peers/haproxy.py stop "$work/haproxy" 2>/dev/null || true
  python3 tools/peers/postgres.py stop "$pg" --immediate
  rm -rf "$pg"
}
trap cleanup EXIT
python3 tools/peers/postgres.py start "$pg" 5432 --tcp 127.0.0.13 >/dev/null
conninfo="host=127.0.0.13 port=5432 user=postgres dbname=postgres connect_timeout=5"

start_server() {
  local name="$1" log="$work/server-$1.log"
  rm -f "$log"
  # Every conversation comes from HAProxy's address: no cap per address.
  "$server" --releases "$work/releases" --listen "${address[$name]}:8090" --http "${address[$name]}:8091" \
    --log "$log" --state "$work/state-$name" --database "$conninfo" --name "$name" --rescan 60 \
    --per-peer 1000000 &
  pids[$name]=$!
  for _ in $(seq 400); do grep -q "recording into" "$log" 2>/dev/null && return 0; sleep 0.05; done
  echo "server $name did not start:" >&2
  cat "$log" >&2
  exit 1
}

stop_servers() {
  for name in "${!pids[@]}"; do
    kill -TERM "${pids[$name]}" 2>/dev/null || true
    wait "${pids[$name]}" 2>/dev/null || true
    unset "pids[$name]"
  done
}

# start_haproxy THREADS NAME...: THREADS 0 is one per processor, as on a
# site; 1 logs every connection (several threads may drop a line).
start_haproxy() {
  local threads="$1" servers=()
  shift
  for name in "$@"; do servers+=("$name=${address[$name]}:8090"); done
  rm -rf "$work/haproxy"
  python3 tools/peers/haproxy.py start "$work/haproxy" 127.0.0.10:8090 "${servers[@]}" --threads "$threads" >/dev/null
  for _ in $(seq 200); do
    [ "$(python3 tools/peers/haproxy.py status "$work/haproxy" | grep -c ': UP$')" = "$#" ] && return 0
    sleep 0.05
  done
  echo "HAProxy does not see its servers UP" >&2
  exit 1
}

# Records written and dropped by the servers running, summed.
recorded() {
  local written=0 dropped=0 w d
  for name in "${!pids[@]}"; do
    read -r w d < <(curl -s "http://${address[$name]}:8091/api/overview" |
      python3 -c 'import json, sys; r = json.load(sys.stdin)["recording"]; print(r["written"], r["dropped"])' \
      2>/dev/null || echo "0 0")
    written=$((written + w))
    dropped=$((dropped + d))
  done
  echo "$written $dropped"
}

echo "load: 100 workstations at once, a fleet of 10,000 (5,000 files each), ${seconds} s a run, recording into" \
     "one PostgreSQL; $rounds rounds of the three, taken in turn"
declare -A rates
for _ in $(seq "$rounds"); do
  for setup in direct haproxy-1 haproxy-2; do
    case "$setup" in
      direct) start_server a; target=127.0.0.11 ;;
      haproxy-1) start_server a; start_haproxy 0 a; target=127.0.0.10 ;;
      haproxy-2) start_server a; start_server b; start_haproxy 0 a b; target=127.0.0.10 ;;
    esac
    out=$("$load" --tree "$release/files" --suite BENCH --address "$target" --port 8090 --clients 100 \
            --seconds "$seconds" --fleet 10000 || true)
    sessions=$(echo "$out" | awk '{for (i = 1; i < NF; i++) if ($i == "sessions") print $(i + 1)}')
    rate=$(echo "$out" | awk '{for (i = 2; i <= NF; i++) if ($i == "sessions/s") print $(i - 1)}')
    rates[$setup]="${rates[$setup]:-} $rate"
    # Everything is written within a few seconds of the load's end.
    for _ in $(seq 600); do
      read -r written dropped <<< "$(recorded)"
      [ "$((written + dropped))" -ge "$sessions" ] && break
      sleep 0.1
    done
    served=""
    if [ "$setup" = haproxy-2 ]; then
      served="; a logged $(grep -c ' peer=' "$work/server-a.log"), b $(grep -c ' peer=' "$work/server-b.log")"
    fi
    echo "  $(printf '%-10s' "$setup") ${out}; recorded $written, dropped $dropped${served}"
    stop_servers
    python3 tools/peers/haproxy.py stop "$work/haproxy" 2>/dev/null || true
  done
done
median() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
if ((rounds > 0)); then
  direct=$(median "${rates[direct]}")
  for setup in direct haproxy-1 haproxy-2; do
    m=$(median "${rates[$setup]}")
    echo "  median $(printf '%-10s' "$setup") $m sessions/s" \
         "($(awk -v m="$m" -v o="$direct" 'BEGIN {printf "%.2f", m / o}')x of one server without HAProxy)"
  done
fi

echo "fail-over: the same load through HAProxy to two servers; a is killed once it has logged 3,000 conversations"
start_server a
start_server b
start_haproxy 1 a b
# The shell would report a's death (Killed) on its standard error: that
# goes nowhere, Python's goes where ours does.
exec 3>&2
{
python3 - "$work" "${pids[a]}" "$load" "$release/files" "$seconds" 2>&3 <<'EOF'
import os, re, signal, subprocess, sys, time
sys.path.insert(0, "tools/peers")
from haproxy import HAProxy

work, pid, load, tree, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5])
proxy = HAProxy(f"{work}/haproxy", ("127.0.0.10", 8090), [])
log = f"{work}/server-a.log"
process = subprocess.Popen([load, "--tree", tree, "--suite", "BENCH", "--address", "127.0.0.10", "--port", "8090",
                            "--clients", "100", "--seconds", str(max(seconds, 15)), "--fleet", "10000"],
                           stdout=subprocess.PIPE, text=True)
deadline = time.monotonic() + 300
while open(log).read().count(" peer=") < 3000:
    if time.monotonic() > deadline or process.poll() is not None:
        sys.exit("a never logged 3,000 conversations")
    time.sleep(0.05)
os.kill(pid, signal.SIGKILL)
killed = time.time()
while proxy.states().get("a") != "DOWN":
    time.sleep(0.002)
down = time.time()
output = process.communicate()[0].strip()
print(f"  {output}")
# HAProxy logs a connection once both its sides have closed.
while proxy.info()["CurrConns"] != "0":
    time.sleep(0.05)
connections = proxy.connections()
cut = [c for c in connections if c["state"] != "--"]
redispatched = [c for c in connections if c["retries"] > 0]
print(f"  killed -> DOWN in HAProxy: {(down - killed) * 1000:.0f} ms")
if cut:
    print(f"  killed -> last conversation cut: {(max(c['end'] for c in cut) - killed) * 1000:.0f} ms"
          f" ({len(cut)} cut, on {sorted(set(c['server'] for c in cut))}, the last ending"
          f" {(max(c['end'] for c in cut) - down) * 1000:+.0f} ms from DOWN)")
else:
    print("  no conversation was cut")
if redispatched:
    print(f"  {len(redispatched)} conversations refused by a after its death went to b instead"
          f" (the last began {(max(c['start'] for c in redispatched) - killed) * 1000:.0f} ms after the kill)")
print(f"  HAProxy logged {len(connections)} conversations, dropped {proxy.info()['DroppedLogs']} lines")
EOF
wait "${pids[a]}" || true
} 2>/dev/null
unset 'pids[a]'
