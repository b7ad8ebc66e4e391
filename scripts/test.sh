#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host

for preset in default asan; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
