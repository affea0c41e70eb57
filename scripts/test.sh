#!/usr/bin/env bash
# Builds and runs every test: the FreeBSD AArch64 build and its checks (when
# QUARN_FREEBSD_SYSROOT names a FreeBSD sysroot), the C++ suite on an AArch64 build under qemu
# (skip it with QUARN_SKIP_CROSS=1), a fuzz smoke of 2,000 runs a target, the C++ and JVM
# suites of the release build (ctest), then the fault-injection sweep's smoke and a 20 s churn
# soak.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh maven-build
if [ -n "${QUARN_FREEBSD_SYSROOT:-}" ]; then
  ./scripts/cross-freebsd.sh
else
  echo "FreeBSD build skipped: set QUARN_FREEBSD_SYSROOT to a FreeBSD AArch64 sysroot (../shared/freebsd/unpack.sh DEST prints one) to build and check it"
fi
if [ "${QUARN_SKIP_CROSS:-0}" != 1 ]; then
  ./scripts/cross-aarch64.sh
fi
./scripts/fuzz.sh 2000
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
ctest --preset release -j 2 "$@"
./scripts/faults.sh --smoke
