#!/usr/bin/env bash
# Benchmarks, natively (optimised, no sanitizers) and for the Windows build
# under Wine: CRC-32 throughput, and the scan of a generated tree of about
# 2,000 files / 1 GiB against a plain read-only walk.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/env.sh

cmake -S . -B build/bench-native -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-native --target crc32_bench scan_bench -j2 >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target crc32_bench scan_bench >/dev/null

tree="${ULMAR_BENCH_TREE:-$ULMAR_ROOT/build/bench-tree}"
if [ ! -f "$tree/.complete" ]; then
  echo "bench: generating $tree"
  rm -rf "$tree"
  python3 - "$tree" <<'PY'
import os, sys, random
root = sys.argv[1]
random.seed(1)
sizes = [random.choice([2_000, 20_000, 200_000, 1_000_000]) for _ in range(1_990)] + [40_000_000] * 10
total = sum(sizes)
scale = (1 << 30) / total
block = os.urandom(1 << 20)
for i, size in enumerate(sizes):
    folder = root if i < 200 else os.path.join(root, f"dir{i % 40:02}")
    os.makedirs(folder, exist_ok=True)
    size = int(size * scale)
    with open(os.path.join(folder, f"file{i:04}.bin"), "wb") as f:
        while size > 0:
            f.write(block[:min(size, len(block))])
            size -= len(block)
PY
  touch "$tree/.complete"
fi

echo "== CRC-32, native"
build/bench-native/bench/crc32_bench 256
echo "== CRC-32, Windows build under Wine"
wine build/windows/bench/crc32_bench.exe 256
echo "== scan, native"
build/bench-native/bench/scan_bench "$tree/"
# cat over the same files (two levels), warm cache, best of three.
python3 - "$tree" <<'PY'
import os, subprocess, sys, time
root = sys.argv[1]
files = [os.path.join(root, n) for n in sorted(os.listdir(root)) if os.path.isfile(os.path.join(root, n))]
for d in sorted(os.listdir(root)):
    if os.path.isdir(os.path.join(root, d)):
        files += [os.path.join(root, d, n) for n in sorted(os.listdir(os.path.join(root, d)))]
size = sum(os.path.getsize(f) for f in files)
best = min(
    (lambda t: (subprocess.run(["xargs", "-0", "cat"], input=b"\0".join(f.encode() for f in files),
                               stdout=subprocess.DEVNULL, check=True), time.perf_counter() - t)[1])(time.perf_counter())
    for _ in range(3))
print(f"cat (same files)       {best:7.3f} s  {size / best / 1e9:6.2f} GB/s")
PY
echo "== scan, Windows build under Wine"
wine build/windows/bench/scan_bench.exe "Z:${tree//\//\\}\\"
