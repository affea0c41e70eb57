#!/usr/bin/env bash
# Runs the C++ suite under the sanitizers: the whole suite with ASan, LeakSanitizer and UBSan
# (the asan preset), then the kqueue layer's tests, its thread tests among them, with
# ThreadSanitizer (the tsan preset). Any report fails the run.
#   scripts/sanitizers.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(asan tsan)

# Every finding stops its test; leaks are reported at each test's exit.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"

# LeakSanitizer silently does nothing where it cannot work (under ptrace, for example): make sure
# it reports a leak here before trusting its silence over the suite.
leak_check() {
  local dir
  dir=$(mktemp -d)
  printf '#include <cstdlib>\nvoid *kept;\nint main() { kept = std::malloc(7); kept = nullptr; return 0; }\n' >"$dir/leak.cpp"
  g++ -fsanitize=address -g -o "$dir/leak" "$dir/leak.cpp"
  if ASAN_OPTIONS=detect_leaks=1 "$dir/leak" >"$dir/out" 2>&1 || ! grep -q 'LeakSanitizer: detected memory leaks' "$dir/out"; then
    echo "LeakSanitizer does not report leaks on this machine:"; cat "$dir/out"; rm -rf "$dir"; exit 1
  fi
  rm -rf "$dir"
}

for preset in "${presets[@]}"; do
  [ "$preset" = asan ] && leak_check
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 >/dev/null
  ctest --preset "$preset" -j 2 | grep -E "tests passed|\*\*\*"
done
