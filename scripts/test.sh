#!/usr/bin/env bash
# Builds both presets and runs every test: the layer check of the includes,
# native unit tests (with ASan and UBSan), the reference update server's
# tests, a brief run of every fuzz target, the Windows tests under Wine, and the end-to-end tests of the real
# exe in a private network namespace. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Tests write only below build/ and temporary folders: a file they leave in
# the source tree is found at the end.
untracked() { git status --porcelain --untracked-files=all 2>/dev/null | grep '^??' || true; }
untracked_before=$(untracked)
source scripts/env.sh
ulmar_start_display

# No source may include a layer above its own.
python3 scripts/check_layers.py

cmake --preset native >/dev/null
cmake --build --preset native
# The load generator plays the fleets of the server's tests.
cmake --build --preset native --target server_load
ctest --preset native
# The reference update server as a program, on loopback (native build, with
# the sanitizers): conversations, the fleet's records in SQLite and in a
# PostgreSQL server the tests start, and the fleet page in headless Chromium.
unshare -n bash -c 'ip link set lo up && /usr/bin/python3 -m pytest -p no:cacheprovider -q tests/server'
# Every parser that takes bytes from a network or a file, fuzzed briefly
# (scripts/fuzz.sh SECONDS runs them longer).
bash scripts/fuzz.sh "${ULMAR_FUZZ_SECONDS:-30}"

cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows

# The end-to-end run starts its own wineserver inside its namespace.
wineserver -k >/dev/null 2>&1 || true
unshare -n bash scripts/e2e.sh
# Leave a persistent wineserver for whoever runs Wine next.
wineserver -p >/dev/null 2>&1 || true

leftovers=$(comm -13 <(echo "$untracked_before" | sort) <(untracked | sort))
if [ -n "$leftovers" ]; then
  echo "test: the tests left files in the source tree:" >&2
  echo "$leftovers" >&2
  exit 1
fi
