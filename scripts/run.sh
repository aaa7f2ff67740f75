#!/usr/bin/env bash
# The program's main job: builds UlmarUpdater.exe and starts it under Wine
# from a prepared installation folder (the exe beside its Logs folder).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/env.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target UlmarUpdater

demo="$ULMAR_ROOT/build/demo"
mkdir -p "$demo/client/Logs"
cp build/windows/bin/UlmarUpdater.exe "$demo/client/"
[ -n "${DISPLAY:-}" ] || ulmar_start_display
echo "run: starting $demo/client/UlmarUpdater.exe"
wine "$demo/client/UlmarUpdater.exe"
echo "run: logs are in $demo/client/Logs"
