#!/usr/bin/env bash
# Builds the library, both test suites, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
ctest --preset release -j 2 "$@"
# The fuzz smoke: 2,000 runs of every fuzz target (about a minute, most of it the fuzz build).
./scripts/fuzz.sh 2000
