#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan) and runs each for a number of runs
# (default 10000), one after another:
#   scripts/fuzz.sh [RUNS] [TARGET...]
# Every target keeps its corpus under build/fuzz/corpus/TARGET, so later runs start from what
# earlier ones found; a failing input is written to build/fuzz/artifacts/ and ends the script.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh libclang-rt-14-dev
runs=${1:-10000}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')
fi
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/artifacts/$target.log
  start=$(date +%s)
  # -timeout: a zero-timeout kevent call or a record walk that takes seconds is a finding too.
  if ! build/fuzz/fuzz/$target -runs="$runs" -max_len=512 -timeout=10 -print_final_stats=1 \
      -artifact_prefix=build/fuzz/artifacts/$target- "$corpus" >"$log" 2>&1; then
    grep -E 'property violated|ERROR|SUMMARY|runtime error|Test unit written' "$log" || tail -20 "$log"
    echo "$target FAILED after $(($(date +%s) - start)) s (log: $log)"
    exit 1
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$target: $executed runs, no finding ($(($(date +%s) - start)) s)"
done
