#!/usr/bin/env bash
# Runs the JVM suite with JNI checking; any JNI warning fails the run.
set -uo pipefail
java=$1
console=$2
classpath=$3
shift 3
work=""
for arg in "$@"; do
  case "$arg" in -Dquarn.work=*) work=${arg#-Dquarn.work=} ;; esac
done
mkdir -p "$work"
log="$work/junit.log"
"$java" -Xcheck:jni "$@" -jar "$console" --class-path "$classpath" --scan-class-path \
  --config=junit.jupiter.extensions.autodetection.enabled=true --include-classname '.*Test' --disable-banner --details=tree --disable-ansi-colors \
  --reports-dir "$work/reports" >"$log" 2>&1
status=$?
cat "$log"
if grep -E 'WARNING in native method|WARNING: JNI|FATAL ERROR in native method' "$log" >/dev/null; then
  echo "JNI warnings in the JVM suite:"
  grep -E 'WARNING in native method|WARNING: JNI|FATAL ERROR in native method' "$log"
  exit 1
fi
exit $status
