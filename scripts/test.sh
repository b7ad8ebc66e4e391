#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite.  The machine
# gets its own architecture's packages alone: the ARM programs, packages and
# suites and the release are made in the build root (scripts/build_root.sh),
# Wine runs in a root of its own (tests/vm/wine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

foreign_before=$(dpkg --print-foreign-architectures)
scripts/deps.sh host package wayland vm windows fuzz format
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# One build root serves this checkout and the release's clones below.
export MEDIAKEY_BUILD_ROOT=$PWD/build/build-root-$release
in_build_root=(bash scripts/build_root.sh)

echo "=== format"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

# PRESET [WRAPPER...]: configures, builds and tests PRESET, through WRAPPER.
suite() {
    local preset=$1
    shift
    echo "=== $preset"
    "$@" cmake --preset "$preset" >/dev/null
    "$@" cmake --build --preset "$preset"
    "$@" ctest --preset "$preset" || { failures "$preset"; return 1; }
}

# What failed, said again last: a log cut in its middle still ends with it.
failures() {
    echo "=== $1: what failed"
    grep -a -E -B2 -A8 ': Failure$|^\[  FAILED  \]|Kernel panic|RIP:|^[a-z_]+\.sh: ' \
        "build/$1/Testing/Temporary/LastTest.log" | head -n 150 || true
}

suite default
suite asan
suite windows-x86
suite wine
suite fuzz
# The same program for ARM, its suites under qemu-user on a Raspberry Pi's
# core, and arm64's uinput suite in a whole emulated arm64 machine.  An
# architecture whose libraries the mirror could not serve when the build root
# was made (a foreign file of the day missing) is left out, and said so.
missing=$("${in_build_root[@]}" cat /etc/mediakey-build-root.missing)
arm=()
for arch in arm64 armhf armel; do
    why=$(sed -n "s/^$arch: //p" <<<"$missing")
    if [ -z "$why" ]; then
        arm+=("$arch")
    else
        echo "SKIPPED: the $arch suites, packages and release files: the build root could not install its libraries ($why)"
    fi
done
for arch in "${arm[@]}"; do
    suite "linux-$arch" "${in_build_root[@]}"
done

# The Debian packages for each architecture, built without their suites (those
# ran above) and linted: this machine's here, the others in the build root.
echo "=== package"
for arch in "$(dpkg --print-architecture)" "${arm[@]}"; do
    bash scripts/package.sh --arch "$arch"
done
bash tests/package/debs_test.sh build/packages "$(dpkg --print-architecture)"
[ ${#arm[@]} -eq 0 ] || "${in_build_root[@]}" bash tests/package/debs_test.sh build/packages "${arm[@]}"

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
rel=build/release-check
rm -rf "$rel"
for run in "one/mediakey 002 Pacific/Kiritimati" "two/elsewhere 077 America/St_Johns"; do
    read -r clone mask zone <<<"$run"
    git clone -q . "$rel/$clone"
    (umask "$mask" && TZ=$zone MEDIAKEY_RELEASE_ARCHES="amd64 ${arm[*]}" bash "$rel/$clone/scripts/release.sh")
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
# Nothing above added an architecture to this machine's dpkg.
added=$(comm -13 <(echo "$foreign_before" | sort) <(dpkg --print-foreign-architectures | sort))
[ -z "$added" ] || { echo "FAIL: the test command added $added to this machine's dpkg"; exit 1; }
