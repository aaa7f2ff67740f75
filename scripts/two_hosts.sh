#!/usr/bin/env bash
# Try-out of a site with two update servers behind HAProxy, on this one
# machine: builds the release binaries, starts
#   PostgreSQL       127.0.0.1:5433   the fleet's records, shared by both servers
#   update server a  127.0.0.1:18091  its fleet page on http://127.0.0.1:8091/
#   update server b  127.0.0.1:18092  its fleet page on http://127.0.0.1:8092/
#   HAProxy          127.0.0.1:8090   where clients connect (the client's default port)
# with a small sample release (suite FLEET), plays a fleet of 50
# workstations through HAProxy with the load generator (two log-ons each),
# prints where everything is and leaves it all running.
#
#   scripts/two_hosts.sh          start (again: stops what runs first)
#   scripts/two_hosts.sh status   HAProxy's view of the two servers
#   scripts/two_hosts.sh stop     stop everything
#
# Everything lives in build/two-hosts/: logs (each start begins them
# afresh), state folders, the release, HAProxy's configuration and stats
# socket, PostgreSQL's data (the records are kept from run to run; remove
# build/two-hosts after a stop to start from nothing).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="$root/build/two-hosts"
server="$root/build/release/bin/ulmar-update-server"
load="$root/build/release/bench/server_load"
ports=(5433 18091 18092 8091 8092 8090)

postgres_folder() {
  # PostgreSQL runs as the "postgres" user when we are root: its folder must
  # be one that user can reach.
  if [ "$(id -u)" = 0 ] && ! runuser -u postgres -- test -x "$work" 2>/dev/null; then
    echo "/tmp/ulmar-two-hosts-postgres"
  else
    echo "$work/postgres"
  fi
}

stop_all() {
  [ -d "$work" ] || return 0
  for name in a b; do
    pid_file="$work/server-$name.pid"
    if [ -f "$pid_file" ]; then
      pid="$(cat "$pid_file")"
      # SIGTERM: conversations in flight get the grace period (5 s here).
      if kill -TERM "$pid" 2>/dev/null; then
        for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      fi
      rm -f "$pid_file"
    fi
  done
  /usr/bin/python3 tools/peers/haproxy.py stop "$work/haproxy"
  if [ -d "$(postgres_folder)/data" ]; then
    /usr/bin/python3 tools/peers/postgres.py stop "$(postgres_folder)"
  fi
}

case "${1:-start}" in
  stop)
    stop_all
    echo "two-hosts: stopped (files stay in $work)"
    exit 0
    ;;
  status)
    /usr/bin/python3 tools/peers/haproxy.py status "$work/haproxy"
    exit 0
    ;;
  start) ;;
  *)
    echo "usage: scripts/two_hosts.sh [start|status|stop]" >&2
    exit 2
    ;;
esac

stop_all
busy=()
for port in "${ports[@]}"; do
  if ss -Htln "sport = :$port" | grep -q .; then busy+=("$port"); fi
done
if ((${#busy[@]})); then
  echo "two-hosts: port(s) ${busy[*]} of 127.0.0.1 are taken; stop what uses them first" >&2
  exit 1
fi

bash scripts/setup.sh >/dev/null
echo "two-hosts: building the release binaries"
cmake --preset release >/dev/null
cmake --build --preset release --target ulmar-update-server server_load >/dev/null

mkdir -p "$work"
# A small sample release: 30 libraries in three folders and a readme.
if [ ! -f "$work/releases/FLEET/manifest.txt" ]; then
  /usr/bin/python3 - "$work/releases" <<'EOF'
import sys
sys.path.insert(0, "tools/peers")
from reference_server import write_release
files = {f"Module{d}\\lib{n}.dll": bytes([d, n]) * 100 for d in range(3) for n in range(10)}
files["readme.txt"] = b"read me"
write_release(sys.argv[1], "FLEET", files, "ftp 127.0.0.1/FLEET/files\n")
EOF
fi

echo "two-hosts: starting PostgreSQL on 127.0.0.1:5433"
conninfo="$(/usr/bin/python3 tools/peers/postgres.py start "$(postgres_folder)" 5433 --tcp 127.0.0.1)"
tcp_conninfo="host=127.0.0.1 port=5433 user=postgres dbname=postgres connect_timeout=5"
psql "$conninfo" -qc "SELECT 1" >/dev/null

for name in a b; do
  case "$name" in
    a) listen=127.0.0.1:18091 page=127.0.0.1:8091 ;;
    b) listen=127.0.0.1:18092 page=127.0.0.1:8092 ;;
  esac
  log="$work/server-$name.log"
  : > "$log"
  # Every conversation comes from HAProxy's address: no cap per address.
  setsid "$server" --releases "$work/releases" --listen "$listen" --http "$page" --log "$log" \
    --state "$work/state-$name" --database "$tcp_conninfo" --name "host-$name" --per-peer 100000 --grace 5 \
    </dev/null >/dev/null 2>>"$work/server-$name.err" &
  echo $! > "$work/server-$name.pid"
  for _ in $(seq 200); do grep -q "recording into" "$log" && break; sleep 0.05; done
  if ! grep -q "recording into" "$log"; then
    echo "two-hosts: server $name did not start:" >&2
    cat "$log" "$work/server-$name.err" >&2
    exit 1
  fi
  echo "two-hosts: update server $name on $listen, its page on http://$page/"
done

/usr/bin/python3 tools/peers/haproxy.py start "$work/haproxy" 127.0.0.1:8090 \
  a=127.0.0.1:18091 b=127.0.0.1:18092 >/dev/null
for _ in $(seq 100); do
  [ "$(/usr/bin/python3 tools/peers/haproxy.py status "$work/haproxy" | grep -c ': UP$')" = 2 ] && break
  sleep 0.1
done
echo "two-hosts: HAProxy on 127.0.0.1:8090; its view of the servers:"
/usr/bin/python3 tools/peers/haproxy.py status "$work/haproxy" | sed 's/^/  /'

echo "two-hosts: 50 workstations log on twice each through HAProxy"
"$load" --tree "$work/releases/FLEET/files" --suite FLEET --address 127.0.0.1 --port 8090 --clients 4 \
  --fleet 50 --rounds 2 --report "$work/fleet-report.json" | sed 's/^/  /'
# A server writes a conversation's line when the client has closed, and its
# record within a second or so: wait for both (ten seconds at most).
sessions="$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["sessions"])' \
            "$work/fleet-report.json")"
overview() {
  curl -s "http://127.0.0.1:$1/api/overview" | /usr/bin/python3 -c \
    'import json, sys; o = json.load(sys.stdin); print(o["recording"]["written"], sum(h["sessions"] for h in o["sessions_per_hour"]))'
}
for _ in $(seq 100); do
  logged=$(($(grep -c ' peer=' "$work/server-a.log") + $(grep -c ' peer=' "$work/server-b.log")))
  read -r written_a _ <<< "$(overview 8091)"
  read -r written_b _ <<< "$(overview 8092)"
  [ "$logged" -ge "$sessions" ] && [ "$((written_a + written_b))" -ge "$sessions" ] && break
  sleep 0.1
done
for name in a b; do
  page=$([ "$name" = a ] && echo 8091 || echo 8092)
  read -r written shown <<< "$(overview "$page")"
  echo "  server $name logged $(grep -c ' peer=' "$work/server-$name.log") conversations and wrote $written records;" \
       "its page shows $shown sessions (both servers', every run so far)"
done

cat <<EOF

Running, and left running:
  fleet pages (each shows the whole fleet, recorded by both servers):
    http://127.0.0.1:8091/   (server a)
    http://127.0.0.1:8092/   (server b)
  clients connect to HAProxy: 127.0.0.1:8090
  logs: $work/server-a.log, $work/server-b.log, $work/haproxy/haproxy.log
  HAProxy's view:   scripts/two_hosts.sh status
  kill a server:    kill -9 \$(cat $work/server-a.pid)   (HAProxy takes it out within a second)
  more load:        $load --tree $work/releases/FLEET/files --suite FLEET --address 127.0.0.1 --port 8090 --clients 4 --fleet 50 --rounds 2
  the records:      psql "$conninfo" -c 'SELECT server, count(*) FROM sessions GROUP BY server'
  stop everything:  scripts/two_hosts.sh stop
EOF
