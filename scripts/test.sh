#!/usr/bin/env bash
# Builds both presets and runs every test: native unit tests (with ASan and
# UBSan) and the Windows tests under Wine. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/env.sh
ulmar_start_display

cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows
