#!/usr/bin/env bash
# Builds libquarn_transport_native_kqueue_aarch_64.so with Debian's cross compiler and runs the
# C++ suite under qemu-aarch64 (char is unsigned there).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh g++-aarch64-linux-gnu qemu-user
cmake --preset cross-aarch64 >/dev/null
cmake --build --preset cross-aarch64 -j "$(nproc)"
ctest --preset cross-aarch64 -j 2 "$@"
