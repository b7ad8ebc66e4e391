#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing.
# Usage: scripts/deps.sh GROUP...
# (groups: host package wayland windows release vm fuzz bench format)
# host: the Linux program (XTEST through libxcb, linked statically) and its
# tests on a real X server, the man page, the shells that complete it and
# pkg-config; package: the Debian packages and lintian; wayland: compositors
# for the Wayland suite; release: what a release adds to host and package (the
# Windows program without Wine, its ZIP); vm: the uinput suite in a VM on
# Debian's kernel.
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

packages=()
for group in "$@"; do
    case "$group" in
    host) packages+=(cmake ninja-build g++ libgtest-dev libxcb1-dev libxcb-xtest0-dev x11proto-dev
        libxau-dev libxdmcp-dev libbsd-dev libmd-dev xvfb xbindkeys groff-base man-db pkg-config fish zsh) ;;
    package) packages+=(build-essential debhelper dpkg-dev lintian) ;;
    wayland) packages+=(sway weston) ;;
    windows) packages+=(g++-mingw-w64-i686 wine wine32:i386) ;;
    release) packages+=(g++-mingw-w64-i686 zip) ;;
    vm) packages+=(qemu-system-x86 busybox-static cpio debootstrap) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench) packages+=(gcc valgrind hyperfine xdotool ydotool wtype) ;;
    format) packages+=(clang-format git) ;;
    *) echo "deps.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done

# Where dpkg has other architectures, a name alone answers for each installed
# one: it means this machine's (or all), NAME:ARCH that one.
native=$(dpkg --print-architecture)
installed() {
    case "$1" in
    *:*) dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -qx 'install ok installed' ;;
    *) dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
        grep -qE "^install ok installed ($native|all)$" ;;
    esac
}
missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
# Several builds may install at once: wait for another's apt to finish.
lock=(-o DPkg::Lock::Timeout=1200)
# apt-get update takes the lists' lock without waiting for it.
for _ in $(seq 120); do
    updated=$($sudo apt-get "${lock[@]}" update -q 2>&1) && break
    grep -q 'Could not get lock' <<<"$updated" || { echo "$updated" >&2; exit 1; }
    sleep 10
done
$sudo env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install -y -q --no-install-recommends \
    "${missing[@]}"
