#!/usr/bin/env bash
# Builds the library and runs every test: the C++ suite and the JVM suite (ctest), then the
# C++ suite once more on an AArch64 build under qemu (skip that with QUARN_SKIP_CROSS=1).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
ctest --preset release -j 2 "$@"
if [ "${QUARN_SKIP_CROSS:-0}" != 1 ]; then
  ./scripts/cross-aarch64.sh
fi
