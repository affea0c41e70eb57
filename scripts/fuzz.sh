#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a number of runs (default 10000):
#   scripts/fuzz.sh [RUNS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh libclang-rt-14-dev
runs=${1:-10000}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')
fi
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "== $target: $runs runs"
  build/fuzz/fuzz/$target -runs="$runs" -max_len=512 -print_final_stats=1 "$corpus" 2>&1 |
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || { echo "$target failed"; exit 1; }
done
