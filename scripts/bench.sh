#!/usr/bin/env bash
# Runs every benchmark and writes a markdown table of the results.
#
#   scripts/bench.sh [--output FILE] [harness flags: --only call,pipe,echo,wakeup,bulk,sendfile --rounds N --quick]
#
# Builds the release preset, then runs, pinned to one core (taskset -c 0) so that client and server,
# waker and waiter share it: the Java harness (natives vs JDK NIO vs raw C, all in one JVM) and the
# kqueue layer's own Google Benchmark (when it is built). The table goes to stdout and to FILE
# (default build/release/bench/results.md). Benchmarks report; they never fail on a figure.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
output=$build/bench/results.md
harness_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --output) output=$2; shift 2 ;;
    *) harness_args+=("$1"); shift ;;
  esac
done

cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null

core=0
pin=(taskset -c "$core")
if ! taskset -c "$core" true 2>/dev/null; then
  echo "taskset cannot pin to core $core here; running unpinned" >&2
  pin=()
fi

log=$(mktemp)
layer_log=$(mktemp)
trap 'rm -f "$log" "$layer_log"' EXIT

library=$(find "$build" -maxdepth 1 -name 'libquarn_transport_native_kqueue_*.so' | head -n 1)
# The JIT may not inline a native; the plain Java method it is compared with must not be inlined either.
"${pin[@]}" java -Xms256m -Xmx256m -XX:+UseSerialGC -XX:CompileCommand=quiet \
  -XX:CompileCommand=dontinline,io.quarn.bench.NativeCallBench::plainSizeOfJlong \
  -Dquarn.library="$PWD/$library" -Dquarn.bench.library="$PWD/$build/bench/jni/libquarn_bench_baselines.so" \
  -cp "$build/quarn-transport-classes.jar:$build/bench/java/quarn-bench.jar" \
  io.quarn.bench.BenchMain "${harness_args[@]}" | tee "$log"

# The kqueue layer's Google Benchmark, built by bench/CMakeLists.txt when Google Benchmark is present.
# It prints its own layer/epoll ratios at the end; those lines become rows of the table.
layer_bench=$(find "$build/bench" -maxdepth 2 -type f -perm -u+x -name '*kqueue*bench*' 2>/dev/null | head -n 1 || true)
if [ -n "$layer_bench" ]; then
  echo "running $layer_bench"
  "${pin[@]}" "$layer_bench" | tee "$layer_log"
fi

{
  echo "# Benchmark results"
  echo
  echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)),"
  echo "Linux $(uname -r), $(java -version 2>&1 | head -n 1), load average $(cut -d ' ' -f 1-3 /proc/loadavg) at the end;"
  echo "pinned with \`${pin[*]:-(not pinned)}\`. Figures are medians over alternating rounds; ratios are medians of per-round ratios."
  echo
  echo "| Benchmark | Compares | Figures (medians) | Ratio | Target | Verdict |"
  echo "|---|---|---|---|---|---|"
  awk -F'|' '$1 == "ROW" { line = "|"; for (i = 2; i <= NF; i++) line = line " " $i " |"; print line }' "$log"
  # "  <what>   <layer> ns vs <epoll> ns: <ratio>x" and "  <Name> wait, 10,000 idle / 10 idle: <ratio>x".
  awk -v tool="$(basename "${layer_bench:-none}")" '
    /^kqueue layer \/ raw epoll/ { on = 1; next }
    on && / ns vs .* ns: / {
      line = $0; sub(/^ +/, "", line)
      split(line, halves, /  +/); what = halves[1]
      match(line, /[0-9.]+ ns vs +[0-9.]+ ns/); figures = substr(line, RSTART, RLENGTH); gsub(/ +/, " ", figures)
      ratio = line; sub(/.*: /, "", ratio); sub(/x$/, "", ratio)
      printf "| kqueue layer: %s | layer vs raw epoll (%s) | %s | %s | none (reported) | - |\n", what, tool, figures, ratio
    }
    on && /10,000 idle \/ 10 idle: / {
      line = $0; sub(/^ +/, "", line)
      name = line; sub(/ wait,.*/, "", name)
      ratio = line; sub(/.*: /, "", ratio); sub(/x$/, "", ratio)
      verdict = (ratio + 0 <= 1.10) ? "met" : "MISSED"
      printf "| kqueue layer: %s wait, 10,000 vs 10 idle | the same wait with 10,000 and with 10 idle descriptors (%s) | one ready descriptor | %s | <= 1.10 (the same) | %s |\n", name, tool, ratio, verdict
    }' "$layer_log"
  if [ -z "$layer_bench" ]; then
    echo
    echo "Kqueue layer benchmark: not built (it needs Google Benchmark, libbenchmark-dev)."
  fi
} >"$output.tmp"
mv "$output.tmp" "$output"
echo
cat "$output"
