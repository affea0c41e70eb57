#!/usr/bin/env bash
# Builds the library and its jar, then runs the echo demo from the jar:
# a server and N clients on loopback, on event loops driven only by the natives.
# Flags pass through: --clients N --size BYTES --seconds S [--ipv6]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
build=build/release
exec java -cp "$build/quarn-transport-native-kqueue.jar:$build/examples/quarn-examples.jar" \
  io.quarn.examples.EchoDemo "$@"
