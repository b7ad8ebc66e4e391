#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host package wayland vm windows fuzz format

echo "=== format"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

suite() {
    echo "=== $1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
    ctest --preset "$1"
}

suite default
suite asan
suite windows-x86
suite wine
suite fuzz

# The Debian packages, built without their suites (those ran above) and linted.
echo "=== package"
bash scripts/package.sh
bash tests/package/debs_test.sh build/packages

# The package in a real session: systemd, logind and an ordinary user on tty1.
echo "=== session"
bash tests/vm/debian_root.sh build/default/tests/vm/debian
bash tests/vm/session.sh build/session build/default/tests/vm/debian build/default/tests/vm/kernel \
    build/packages/mediakey_*_amd64.deb
