#!/usr/bin/env bash
# Fault injection and churn: every scenario of the sweep in a child JVM (-Xcheck:jni) with the
# fault injector preloaded, then the churn soak.
#   scripts/faults.sh           the whole sweep (every call up to N=48 and the last calls, each errno) and a 180 s soak
#   scripts/faults.sh --smoke   a bounded subset (calls 1 to 4, the middle and the last, each errno) and a 20 s soak
# A crash, a JNI warning, a finding or a failed soak fails the script. Logs and the call-site
# list are in build/release/faults/.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=full
[ "${1:-}" = --smoke ] && mode=smoke
./scripts/setup.sh binutils
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target quarn_faults quarn_fault_injector quarn_test_natives quarn_sweep_shaded \
  quarn_transport_native_kqueue quarn_shaded_library >/dev/null
# shellcheck source=/dev/null
source build/release/faults.env
out=build/release/faults
rm -rf "$out" && mkdir -p "$out" build/release/faults-work/scratch
jni_warnings='WARNING in native method|WARNING: JNI|FATAL ERROR in native method|A fatal error has been detected'
failed=0

child() { # name log preload args...
  local name=$1 log=$2 preload=$3
  shift 3
  local status=0
  LD_PRELOAD=$preload "$QUARN_JAVA" -Xcheck:jni -XX:ErrorFile="$out/hs_err_$name.log" \
    -cp "$QUARN_FAULT_CLASSPATH" $QUARN_FAULT_PROPERTIES "$@" >"$log" 2>&1 || status=$?
  grep -E "^(sweep|soak|FINDING)" "$log" || true
  if [ $status -ne 0 ] || grep -qE "$jni_warnings" "$log"; then
    grep -E "$jni_warnings" "$log" | head -5 || true
    [ $status -ne 0 ] && grep -v '^site ' "$log" | tail -5
    echo "$name FAILED (exit $status, log $log)"
    return 1
  fi
}

# Every C library function the library calls is wrapped by the injector, or excused (with its
# reason) in test/faults/unwrapped.txt.
wrapped=$(grep -o 'X([a-z_0-9]*)' test/faults/injector.c | tr -d 'X()' | paste -sd '|')
neither=$(nm -D --undefined-only "$QUARN_LIBRARY" | awk '{sub(/@.*/, "", $2); print $2}' | sort -u |
  grep -vxE "$wrapped" | grep -vxFf <(grep -v '^#' test/faults/unwrapped.txt | awk 'NF {print $1}') || true)
if [ -n "$neither" ]; then
  echo "FINDING: called by the library, neither wrapped nor excused in test/faults/unwrapped.txt:" $neither
  failed=1
fi

bound=48
[ $mode = smoke ] && bound=smoke
for scenario in load load-shaded kqueue echo tcp udp local sendfile pipes; do
  child "$scenario" "$out/$scenario.log" "$QUARN_FAULT_INJECTOR" io.quarn.faults.Sweep "$scenario" "$bound" || failed=1
done

# Call sites by source line. The sweep prints each site as the library offset its call returns
# to; objdump gives every direct call of a wrapped function in the library (the sweep's copy has
# no tail calls, so every one returns to its own site), and addr2line names both. Sites reached
# that are no direct call (calls through function pointers, such as the weak accept4 and pipe2)
# are listed apart. A site counts as failed when any scenario failed it.
objdump -d --no-show-raw-insn "$QUARN_LIBRARY" | awk -v wrapped="^<($wrapped)@plt>$" '
  called != "" {sub(/^ */, ""); sub(/:.*/, ""); print called, "0x" $0; called = ""}
  ($2 == "call" || $2 == "jmp") && $4 ~ wrapped {called = $4; gsub(/[<>]|@plt/, "", called)}' |
  sort -u >"$out/offsets-all.txt"
grep -h '^site ' "$out"/*.log | awk '{print $3, $4, $5}' | sort -k1,2 -k3,3 |
  awk '!seen[$1 " " $2]++' >"$out/offsets-reached.txt"
name_sites() { # reads "function offset [state]" lines, writes "function file:line symbol [state]"
  while read -r function offset state; do
    mapfile -t where < <(addr2line -f -C -e "$QUARN_LIBRARY" "$(printf '0x%x' $((offset - 1)))")
    symbol=${where[0]//(anonymous namespace)/anon}
    symbol=${symbol%%(*}
    location=${where[1]%% *}
    echo "$function ${location#"$PWD"/} ${symbol// /_} $state"
  done
}
direct() { # keeps (or, with -v, drops) the lines of stdin whose site is a direct call
  awk -v keep="${1:-1}" 'NR == FNR {all[$1 " " $2] = 1; next} (($1 " " $2) in all) == keep' "$out/offsets-all.txt" -
}
direct <"$out/offsets-reached.txt" | name_sites | grep ' src/' | sort >"$out/sites.txt" || true
direct 0 <"$out/offsets-reached.txt" | name_sites | sort >"$out/sites-indirect.txt"
awk 'NR == FNR {reached[$1 " " $2] = 1; next} !($1 " " $2 in reached)' "$out/offsets-reached.txt" \
  "$out/offsets-all.txt" | name_sites | grep ' src/' | sort >"$out/sites-unreached.txt" || true
echo "call sites: $(($(wc -l <"$out/sites.txt") + $(wc -l <"$out/sites-unreached.txt"))) direct in src/," \
  "$(wc -l <"$out/sites.txt") reached, $(grep -c ' failed$' "$out/sites.txt") of them failed;" \
  "$(wc -l <"$out/sites-indirect.txt") reached through a function pointer" \
  "(lists: $out/sites.txt, sites-unreached.txt, sites-indirect.txt)"

# Every failure that reached no caller, other than EINTR and EAGAIN (retrying is the contract),
# must be one test/faults/absorbed.txt allows, by function, errno and the function holding the site.
grep -h '^absorbed ' "$out"/*.log | awk '{print $3, $4, $5}' | sort -u | name_sites |
  awk '{print $1, $4, $3, $2}' | sort -u >"$out/absorbed.txt"
unexcused=$(awk 'NR == FNR {if ($0 !~ /^#/ && NF) allowed[$1 " " $2 " " $3] = 1; next}
  !(($1 " " $2 " " $3) in allowed)' test/faults/absorbed.txt "$out/absorbed.txt")
if [ -n "$unexcused" ]; then
  echo "FINDING: failures absorbed that test/faults/absorbed.txt does not allow (function errno site):"
  echo "$unexcused" | sed 's/^/  /'
  failed=1
fi
echo "absorbed: $(wc -l <"$out/absorbed.txt") distinct (function, errno, site), every one allowed unless listed above"

seconds=180
[ $mode = smoke ] && seconds=20
# The injector preloaded but never armed (it counts the library's allocations), and a fixed,
# pre-touched heap, so that resident memory measures native growth.
# The client compiler only, which settles within the warm-up instead of growing its code for a minute.
# The product library itself, not the sweep's copy.
child soak "$out/soak.log" "$QUARN_FAULT_INJECTOR" -Dquarn.library="$QUARN_PRODUCT_LIBRARY" -Xms64m -Xmx64m -XX:+AlwaysPreTouch -XX:TieredStopAtLevel=1 \
  io.quarn.faults.ChurnSoak "$seconds" || failed=1
exit $failed
