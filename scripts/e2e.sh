#!/usr/bin/env bash
# End-to-end tests: the real UlmarUpdater.exe under Wine against real peers.
# Runs inside a private network namespace (scripts/test.sh starts it with
# `unshare -n`), where the whole 127.0.0.0/8 is ours and the wineserver,
# the peers and the virtual display live together.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
ip link set lo up

ULMAR_XVFB_PID=
ULMAR_DISPLAY_NUMBER="${ULMAR_E2E_DISPLAY:-98}" ulmar_start_display
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -z "$ULMAR_XVFB_PID" ] || kill "$ULMAR_XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
# Sockets live in the wineserver: it must be this namespace's own. One of
# the prefix still running elsewhere is stopped first.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1

# Arguments name test files or options; without any, the whole suite runs.
if [ $# -eq 0 ]; then set -- tests/e2e; fi
/usr/bin/python3 -m pytest -p no:cacheprovider -q "$@"
