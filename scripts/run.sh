#!/usr/bin/env bash
# Builds mediakey for this host and runs it once with the given code.
# Usage: scripts/run.sh [CODE]   (default: PLAYPAUSK)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host
cmake --preset default >/dev/null
cmake --build --preset default --target mediakey
echo "+ build/default/mediakey ${1-PLAYPAUSK}"
exec build/default/mediakey "${1-PLAYPAUSK}"
