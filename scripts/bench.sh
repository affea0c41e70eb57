#!/usr/bin/env bash
# Runs every benchmark and writes a markdown table of the results.
#
#   scripts/bench.sh [--output FILE] [--svg FILE] [--rounds N] [--quick]
#                    [--only call,pipe,echo,wakeup,bulk,sendfile,scaling,layer]
#
# Builds the release preset, then runs, pinned to one core (taskset -c 0) so that client and server,
# waker and waiter share it: the Java harness (natives vs JDK NIO vs raw C, all in one JVM) and the
# kqueue layer's own Google Benchmark (when it is built). The many-connection echo ("scaling") runs
# in a JVM of its own, not pinned as a whole: it pins its server thread and its client process
# itself, and draws its figures with gnuplot into FILE of --svg (default docs/echo-scaling.svg, or
# build/release/bench/echo-scaling.svg with --quick). The table goes to stdout and to FILE of
# --output (default build/release/bench/results.md). Benchmarks report; they never fail on a figure.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
output=$build/bench/results.md
svg=
quick=0
only=call,pipe,echo,wakeup,bulk,sendfile,scaling,layer
harness_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --output) output=$2; shift 2 ;;
    --svg) svg=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --quick) quick=1; harness_args+=("$1"); shift ;;
    *) harness_args+=("$1"); shift ;;
  esac
done
if [ -z "$svg" ]; then
  if [ "$quick" -eq 1 ]; then svg=$build/bench/echo-scaling.svg; else svg=docs/echo-scaling.svg; fi
fi
has() { case ",$only," in *,"$1",*) return 0 ;; *) return 1 ;; esac; }
# What the pinned JVM runs: everything but the layer's own benchmark and the many-connection echo.
pinned_only=$(echo ",$only," | sed -e 's/,layer,/,/g; s/,scaling,/,/g; s/^,//; s/,$//')
run_layer=0; has layer && run_layer=1
run_scaling=0; has scaling && run_scaling=1

./scripts/setup.sh util-linux gnuplot-nox
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
plot_data=$(mktemp)
trap 'rm -f "$log" "$layer_log" "$plot_data"' EXIT

library=$(find "$build" -maxdepth 1 -name 'libquarn_transport_native_kqueue_*.so' | head -n 1)
jvm=(java -Xms256m -Xmx256m -XX:+UseSerialGC
  -Dquarn.library="$PWD/$library" -Dquarn.bench.library="$PWD/$build/bench/jni/libquarn_bench_baselines.so"
  -Dquarn.bench.client="$PWD/$build/bench/quarn_echo_client"
  -cp "$build/quarn-transport-classes.jar:$build/bench/java/quarn-bench.jar")
if [ -n "$pinned_only" ]; then
  # The JIT may not inline a native; the plain Java method it is compared with must not be inlined either.
  "${pin[@]}" "${jvm[@]}" -XX:CompileCommand=quiet \
    -XX:CompileCommand=dontinline,io.quarn.bench.NativeCallBench::plainSizeOfJlong \
    io.quarn.bench.BenchMain --only "$pinned_only" "${harness_args[@]}" | tee "$log"
fi
if [ "$run_scaling" -eq 1 ]; then
  # A pre-touched heap of fixed size, so that resident memory grows only with native memory; the
  # JVM's native memory tracking says which of its own areas grew (the "NMT" lines of the log).
  echo "many-connection echo: descriptor limits: soft $(ulimit -Sn), hard $(ulimit -Hn); load average $(cut -d ' ' -f 1-3 /proc/loadavg) at the start" | tee -a "$log"
  "${jvm[@]}" -XX:+AlwaysPreTouch -XX:NativeMemoryTracking=summary -Dquarn.bench.nmt=true \
    io.quarn.bench.BenchMain --only scaling "${harness_args[@]}" | tee -a "$log"
fi

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
  # "SCALE|placement|connections|variant|round trips/s|CPU ns|events per wait|bytes per round trip",
  # one line per variant, natives, NIO, C, C+FIONREAD, C ET+FIONREAD in that order.
  if grep -q '^SCALE|' "$log"; then
    echo
    echo "## Many-connection echo"
    echo
    grep '^many-connection echo: descriptor limit' "$log" | sed 's/^/    /' || true
    echo
    echo "Medians over rounds; each cell lists natives / NIO / C / C + FIONREAD / C edge-triggered + FIONREAD. CPU is the server thread's."
    echo
    echo "| Placement | Connections | Round trips/s | Server CPU ns per round trip | Events per wait | Bytes allocated per round trip (natives / NIO) |"
    echo "|---|---|---|---|---|---|"
    awk -F'|' '$1 == "SCALE" {
        key = $2 "|" $3
        if (!(key in n)) order[++keys] = key
        n[key]++
        sep = n[key] > 1 ? " / " : ""
        trips[key] = trips[key] sep $5; cpu[key] = cpu[key] sep $6; per[key] = per[key] sep $7
        if ($4 == "natives" || $4 == "NIO") alloc[key] = alloc[key] (alloc[key] == "" ? "" : " / ") $8
      }
      END {
        for (k = 1; k <= keys; k++) {
          key = order[k]; split(key, parts, "|")
          printf "| %s | %s | %s | %s | %s | %s |\n", parts[1], parts[2], trips[key], cpu[key], per[key], alloc[key]
        }
      }' "$log"
  fi
  # "MEM|variant|native bytes|heap bytes|total", per connection at 10,000 connections.
  if grep -q '^MEM|' "$log"; then
    echo
    echo "Memory per connection at 10,000 connections (bytes; resident native memory, live Java heap after full collections):"
    echo
    echo "| Variant | Native | Java heap | Total |"
    echo "|---|---|---|---|"
    awk -F'|' '$1 == "MEM" { printf "| %s | %s | %s | %s |\n", $2, $3, $4, $5 }' "$log"
  fi
} >"$output.tmp"
mv "$output.tmp" "$output"

# The picture: round trips per second (top) and the server's CPU time per round trip (bottom)
# against the number of connections, for each placement, one line per variant.
if grep -q '^SCALE|' "$log"; then
  awk -F'|' '$1 == "SCALE" {
      key = $2 "|" $3
      if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
      value[key, $4, "trips"] = $5; value[key, $4, "cpu"] = $6 / 1000
    }
    END {
      split("natives|NIO|C|C+FIONREAD|C ET+FIONREAD", variants, "|")
      mode = ""
      for (k = 1; k <= keys; k++) {
        split(order[k], parts, "|")
        if (parts[1] != mode) { if (mode != "") printf "\n\n"; mode = parts[1]; printf "# %s\n", mode }
        line = parts[2]
        for (v = 1; v <= 5; v++) line = line " " value[order[k], variants[v], "trips"]
        for (v = 1; v <= 5; v++) line = line " " value[order[k], variants[v], "cpu"]
        print line
      }
    }' "$log" >"$plot_data"
  mapfile -t modes < <(sed -n 's/^# //p' "$plot_data")
  # One column per placement: round trips per second on top, server CPU per round trip below.
  plots=""
  for what in trips cpu; do
    for b in "${!modes[@]}"; do
      if [ "$what" = trips ]; then
        plots+="set title '${modes[$b]}: round trips per second (higher is better)'; set ylabel 'round trips per second'"$'\n'
        first=2
      else
        plots+="set title '${modes[$b]}: server CPU time per round trip (lower is better)'; set ylabel 'server CPU µs per round trip'"$'\n'
        first=7
      fi
      plots+="plot '$plot_data' index $b using 1:$first with linespoints ls 1 title 'natives', '' index $b using 1:$((first + 1)) with linespoints ls 2 title 'NIO', '' index $b using 1:$((first + 2)) with linespoints ls 3 title 'C epoll', '' index $b using 1:$((first + 3)) with linespoints ls 4 title 'C epoll + FIONREAD', '' index $b using 1:$((first + 4)) with linespoints ls 5 title 'C epoll edge-triggered + FIONREAD'"$'\n'
    done
  done
  mkdir -p "$(dirname "$svg")"
  gnuplot <<PLOT
set terminal svg size $((500 * ${#modes[@]})),760 dynamic font "sans,11" background rgb "white"
set output "$svg"
set multiplot layout 2,${#modes[@]} title "64-byte echo, one server thread, one request in flight per connection ($(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d ' ' -f 1 /proc/loadavg))"
set logscale x 10
set xrange [0.7:14000]
set xlabel "connections"
set grid
set key bottom left
set yrange [0:*]
set style line 1 lc rgb "#d62728" lw 2.5 pt 7
set style line 2 lc rgb "#1f77b4" lw 2 pt 5
set style line 3 lc rgb "#2ca02c" lw 2 pt 9
set style line 4 lc rgb "#7f7f7f" lw 2 pt 11 dt 2
set style line 5 lc rgb "#9467bd" lw 2 pt 13 dt 3
$plots
unset multiplot
PLOT
  echo "picture: $svg"
fi
echo
cat "$output"
