#!/usr/bin/env bash
# The program's main job, on a fresh machine: installs what it needs, builds
# the client and the reference update server, prepares a sample workstation
# (its own Wine prefix with the ULMAR registry values, an outdated
# installation with one foreign file, an existing data source, the stand-in
# database engine with one alias), starts the
# reference server and an FTP mirror on loopback and runs one session of
# UlmarUpdater.exe. With a DISPLAY the window shows there; without one it
# runs on a virtual display, a screenshot is saved and the window closed.
# Run it again for a session with nothing to update; --reset starts afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
export ULMAR_WINEPREFIX="$PWD/build/demo/prefix"
bash scripts/setup.sh
source scripts/env.sh

echo "run: building"
cmake --preset windows >/dev/null
cmake --build --preset windows --target UlmarUpdater replace_ux inspector sqlsrv_setup idapi32_standin >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target ulmar-update-server >/dev/null
export ULMAR_SERVER_BIN="$PWD/build/release/bin/ulmar-update-server"

if [ -n "${DISPLAY:-}" ]; then
  export ULMAR_DEMO_HEADLESS=0
else
  ULMAR_XVFB_PID=
  ulmar_start_display
  # A virtual display started here goes when the job ends.
  [ -z "$ULMAR_XVFB_PID" ] || trap 'kill "$ULMAR_XVFB_PID" 2>/dev/null || true' EXIT
  export ULMAR_DEMO_HEADLESS=1
fi
/usr/bin/python3 scripts/demo.py "$@"
