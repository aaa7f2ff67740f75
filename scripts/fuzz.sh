#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 30): builds the "fuzz"
# preset (clang, libFuzzer, ASan and UBSan), starts each target on the seeds
# in fuzz/corpus/<target> and a working corpus of its own in
# build/fuzz/corpus/<target> (kept between runs, so long runs build on one
# another), and prints each target's executions. A crash stops the script
# with the target's output and the input that caused it (build/fuzz/crashes).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(reply_reader ftp_reply safe_path cp1251 inventory_reader manifest proxy_header)
fi
mkdir -p build/fuzz/crashes
for target in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  log="build/fuzz/$target.log"
  if ! "build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="build/fuzz/crashes/$target-" "$corpus" "fuzz/corpus/$target" \
      >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz: $target failed; the input is in build/fuzz/crashes/"
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "fuzz: $target: $runs executions in ${seconds} s, no failure"
done
