#!/usr/bin/env bash
# The program's main job: builds UlmarUpdater.exe and runs it under Wine from
# a prepared installation folder (the exe beside its Logs folder). With a
# DISPLAY the window shows there until it is closed; without one it runs on
# a virtual display, a screenshot is saved and the window is closed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/env.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target UlmarUpdater replace_ux inspector >/dev/null

demo="$ULMAR_ROOT/build/demo"
mkdir -p "$demo/client/Logs"
cp build/windows/bin/UlmarUpdater.exe build/windows/bin/replace_ux.exe "$demo/client/"
inspector="build/windows/bin/inspector.exe"

if [ -n "${DISPLAY:-}" ]; then
  echo "run: starting $demo/client/UlmarUpdater.exe on $DISPLAY"
  wine "$demo/client/UlmarUpdater.exe"
else
  ulmar_start_display
  echo "run: starting $demo/client/UlmarUpdater.exe on the virtual display $DISPLAY"
  wine "$demo/client/UlmarUpdater.exe" &
  exe=$!
  # Wait for the window (a cold Wine start takes a few seconds), give the
  # session time to show its outcome, then photograph the screen.
  for _ in $(seq 300); do
    wine "$inspector" read >/dev/null 2>&1 && break
    sleep 0.1
  done
  sleep 3
  import -window root -crop 560x470+40+40 "$demo/window.png"
  echo "run: screenshot saved to $demo/window.png"
  wine "$inspector" close >/dev/null 2>&1 || true
  wait "$exe" || true
fi
echo "run: logs are in $demo/client/Logs"
