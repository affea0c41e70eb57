#!/usr/bin/env bash
# Builds libquarn_transport_native_kqueue_aarch_64.so and its jar for FreeBSD 14 on AArch64 with
# Debian's clang 14 and lld (preset cross-freebsd-aarch64), compiles the C++ tests for it, and
# checks the library's exports, NEEDED entries and symbol versions. Nothing of it runs here.
# QUARN_FREEBSD_SYSROOT names the sysroot: ../shared/freebsd/unpack.sh DEST prints it.
set -euo pipefail
cd "$(dirname "$0")/.."
: "${QUARN_FREEBSD_SYSROOT:?set QUARN_FREEBSD_SYSROOT to an unpacked FreeBSD AArch64 sysroot}"
./scripts/setup.sh
cmake --preset cross-freebsd-aarch64 >/dev/null
cmake --build --preset cross-freebsd-aarch64 -j "$(nproc)"
ctest --preset cross-freebsd-aarch64 "$@"
