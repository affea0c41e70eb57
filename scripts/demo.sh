#!/usr/bin/env bash
# Builds the library and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
build=build/release
java -Xcheck:jni -cp "$build/quarn-transport-classes.jar:$build/test/quarn-jvm-tests.jar" io.quarn.test.LoadProbe \
  "$PWD/$build/libquarn_transport_native_kqueue_$(uname -m | sed 's/aarch64/aarch_64/').so" iovMax
