#!/usr/bin/env bash
# Builds the library and its artifacts, then runs the echo demo from them: the main jar's
# classes and the platform jar's library (as a Java build that depends on them would), a server
# and N clients on loopback, on event loops driven only by the natives.
# Flags pass through: --clients N --size BYTES --seconds S [--ipv6]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
build=build/release
version=$(sed -n 's/^project(quarn_transport_native_kqueue VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
main=$build/artifacts/quarn-transport-native-kqueue-$version.jar
platform=$(ls "$build"/artifacts/quarn-transport-native-kqueue-"$version"-"$(uname -s | tr A-Z a-z)"-*.jar)
exec java -cp "$main:$platform:$build/examples/quarn-examples.jar" io.quarn.examples.EchoDemo "$@"
