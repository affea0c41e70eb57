#!/usr/bin/env bash
# Runs every benchmark and writes a markdown table of the results.
#
#   scripts/bench.sh [--output FILE] [--only call,pipe,echo,wakeup,bulk,sendfile,layer] [--rounds N] [--quick]
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
run_layer=1
while [ $# -gt 0 ]; do
  case "$1" in
    --output) output=$2; shift 2 ;;
    --only)
      # "layer" names the kqueue layer's own benchmark; the Java harness ignores names it lacks.
      case ",$2," in *,layer,*) ;; *) run_layer=0 ;; esac
      harness_args+=("$1" "$2"); shift 2 ;;
    *) harness_args+=("$1"); shift ;;
  esac
done

./scripts/setup.sh util-linux
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
# It prints its own layer/epoll ratios at the end; those lines become rows of the table. It runs its
# cases one after the other, not interleaved, so it runs three times and the table takes each
# ratio's median.
layer_runs=3
layer_bench=$(find "$build/bench" -maxdepth 2 -type f -perm -u+x -name '*kqueue*bench*' 2>/dev/null | head -n 1 || true)
if [ -n "$layer_bench" ] && [ "$run_layer" -eq 1 ]; then
  for run in $(seq "$layer_runs"); do
    echo "running $layer_bench ($run of $layer_runs)"
    "${pin[@]}" "$layer_bench" | tee -a "$layer_log"
  done
fi

{
  echo "# Benchmark results"
  echo
  echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)),"
  echo "Linux $(uname -r), $(java -version 2>&1 | head -n 1), load average $(cut -d ' ' -f 1-3 /proc/loadavg) at the end;"
  echo "pinned with \`${pin[*]:-(not pinned)}\`. Figures are medians over rounds; ratios are medians of per-round ratios (docs/PERFORMANCE.md)."
  echo
  echo "| Benchmark | Compares | Figures (medians) | Ratio | Target | Verdict |"
  echo "|---|---|---|---|---|---|"
  awk -F'|' '$1 == "ROW" { line = "|"; for (i = 2; i <= NF; i++) line = line " " $i " |"; print line }' "$log"
  # "  <what>   <layer> ns vs <epoll> ns: <ratio>x" and "  <Name> wait, 10,000 idle / 10 idle: <ratio>x",
  # once per run; each row shows the run whose ratio is the median.
  awk -v tool="$(basename "${layer_bench:-none}")" '
    /^kqueue layer \/ raw epoll/ { on = 1; next }
    on && / ns vs .* ns: / {
      line = $0; sub(/^ +/, "", line)
      split(line, halves, /  +/); key = halves[1]
      if (line ~ /\(CPU\)$/) key = key " (CPU time)"
      match(line, /[0-9.]+ ns vs +[0-9.]+ ns/); figures = substr(line, RSTART, RLENGTH); gsub(/ +/, " ", figures)
      match(line, /: [0-9.]+x/); ratio = substr(line, RSTART + 2, RLENGTH - 3)
      keep(key, ratio, figures, "")
    }
    on && /10,000 idle \/ 10 idle: / {
      line = $0; sub(/^ +/, "", line)
      key = line; sub(/ wait,.*/, "", key)
      match(line, /: [0-9.]+x/); ratio = substr(line, RSTART + 2, RLENGTH - 3)
      keep(key, ratio, "one ready descriptor", "idle")
    }
    function keep(key, ratio, figures, kind) {
      if (!(key in count)) { order[++keys] = key; kinds[key] = kind }
      n = ++count[key]; ratios[key, n] = ratio + 0; shown[key, n] = figures
    }
    END {
      for (k = 1; k <= keys; k++) {
        key = order[k]; n = count[key]
        # The median run: the one with as many ratios below it as above it.
        for (i = 1; i <= n; i++) {
          below = 0; above = 0
          for (j = 1; j <= n; j++) {
            if (ratios[key, j] < ratios[key, i]) below++
            if (ratios[key, j] > ratios[key, i]) above++
          }
          if (below <= int(n / 2) && above <= int(n / 2)) { pick = i; break }
        }
        ratio = sprintf("%.2f", ratios[key, pick])
        if (kinds[key] == "idle") {
          verdict = (ratio + 0 <= 1.10) ? "met" : "MISSED"
          printf "| kqueue layer: %s wait, 10,000 vs 10 idle | the same wait with 10,000 and with 10 idle descriptors (%s, median of %d runs) | %s | %s | <= 1.10 (the same) | %s |\n", key, tool, n, shown[key, pick], ratio, verdict
        } else {
          printf "| kqueue layer: %s | layer vs raw epoll (%s, median of %d runs) | %s | %s | none (reported) | - |\n", key, tool, n, shown[key, pick], ratio
        }
      }
    }' "$layer_log"
  if [ -z "$layer_bench" ] && [ "$run_layer" -eq 1 ]; then
    echo
    echo "Kqueue layer benchmark: not built (it needs Google Benchmark, libbenchmark-dev)."
  fi
} >"$output.tmp"
mv "$output.tmp" "$output"
echo
cat "$output"
