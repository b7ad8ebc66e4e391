#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host package wayland vm windows fuzz format arm64 armhf emulation
# ARMv6 is the one architecture whose libraries a mirror has been seen to
# lack (Debian 13's C library of the day; Debian 12's security updates, which
# libdbus needs through libsystemd): its stages say so and are left out.
arches="amd64 arm64 armhf armel"
if ! scripts/deps.sh armel; then
    echo "SKIPPED: the armel suite and package: its libraries could not be installed (above)"
    arches=${arches% armel}
fi

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
# The same program for ARM, its suites under qemu-user on a Raspberry Pi's
# core, and arm64's uinput suite in a whole emulated arm64 machine.
suite linux-arm64
suite linux-armhf
[[ " $arches " != *" armel "* ]] || suite linux-armel

# The Debian packages for each architecture, built without their suites (those
# ran above) and linted.
echo "=== package"
for arch in $arches; do
    bash scripts/package.sh --arch "$arch"
done
bash tests/package/debs_test.sh build/packages

# The package in a real session: systemd, logind and an ordinary user on tty1,
# on Debian 12 and on Debian 13.
echo "=== session"
bash tests/vm/debian_root.sh build/default/tests/vm/debian
bash tests/vm/session.sh build/session build/default/tests/vm/debian build/default/tests/vm/kernel \
    build/packages/mediakey_*_amd64.deb
# The same package in Debian 13's session: its systemd, logind and kernel, from
# the root and kernel of the default suites' Debian 13 rows.
bash tests/vm/session.sh build/session-trixie build/default/tests/vm/debian-trixie \
    build/default/tests/vm-trixie/kernel build/packages/mediakey_*_amd64.deb

# The release twice, from clones in two directories, under other umasks and
# time zones and minutes apart: the same bytes, or the files that differ.
echo "=== release"
# A release holds every architecture's files; where armel's cannot be
# installed, the rest are checked.
[[ " $arches " == *" armel "* ]] ||
    echo "SKIPPED: armel in the release, whose libraries could not be installed (above)"
rel=build/release-check
rm -rf "$rel"
for run in "one/mediakey 002 Pacific/Kiritimati" "two/elsewhere 077 America/St_Johns"; do
    read -r clone mask zone <<<"$run"
    git clone -q . "$rel/$clone"
    (umask "$mask" && TZ=$zone MEDIAKEY_RELEASE_ARCHES="$arches" bash "$rel/$clone/scripts/release.sh")
done
first=$(echo "$rel"/one/mediakey/build/release/mediakey-*) second=${first/one\/mediakey/two\/elsewhere}
if ! cmp -s "$first/SHA256SUMS" "$second/SHA256SUMS"; then
    for f in $(diff "$first/SHA256SUMS" "$second/SHA256SUMS" | sed -n 's/^[<>] [0-9a-f]*  //p' | sort -u); do
        echo "FAIL: $f differs between two releases of the same commit"
        ! command -v diffoscope >/dev/null || diffoscope "$first/$f" "$second/$f" || true
    done
    exit 1
fi
echo "release: two builds gave the same SHA256SUMS"
