#!/usr/bin/env bash
# The longest time the window goes without its messages handled, measured
# with the Windows build under Wine (and natively for comparison): during a
# 1 GiB download from pyftpdlib on loopback and during the scan of a 1 GiB
# installation (one 1 GiB file and 200 small ones). Prints, for each, the
# number of message pumps and the median, 99th percentile and longest gap
# between two of them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/env.sh
cmake -S . -B build/bench-native -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-native --target pump_gaps -j2 >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target pump_gaps >/dev/null

work="$ULMAR_ROOT/build/pump-bench"
mkdir -p "$work/mirror" "$work/install/Forms" "$work/out"
size=$((1 << 30))
[ -f "$work/mirror/big.bin" ] || head -c $size /dev/urandom > "$work/mirror/big.bin"
if [ ! -f "$work/install/.complete" ]; then
  ln -f "$work/mirror/big.bin" "$work/install/big.bin"
  for i in $(seq 200); do head -c 4096 /dev/urandom > "$work/install/Forms/form$i.dat"; done
  touch "$work/install/.complete"
fi
tree_bytes=$(python3 -c 'import os,sys; print(sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(sys.argv[1]) for f in fs))' "$work/install")

port=2122
/usr/bin/python3 tools/peers/ftp_servers.py "$work/mirror" "$port" &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$work"/out/*' EXIT
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done

wineserver -p 2>/dev/null || true  # already running is fine
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
for round in 1 2; do
  echo "== round $round, native"
  build/bench-native/bench/pump_gaps download 127.0.0.1 $port / big.bin "$work/out/native.bin"
  rm -f "$work"/out/*
  build/bench-native/bench/pump_gaps scan "$work/install/" "$tree_bytes"
  echo "== round $round, Windows build under Wine"
  wine build/windows/bench/pump_gaps.exe download 127.0.0.1 $port / big.bin "$(win "$work/out")\\wine.bin" | tr -d '\r'
  rm -f "$work"/out/*
  wine build/windows/bench/pump_gaps.exe scan "$(win "$work/install")\\" "$tree_bytes" | tr -d '\r'
done
