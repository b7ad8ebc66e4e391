#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing.
# Usage: scripts/deps.sh [--list] GROUP...   (--list: print them, install
# nothing)
# (groups: host package wayland windows release vm fuzz bench format arm64
# armhf armel emulation)
# host: the Linux program (XTEST through libxcb, mutter through libdbus, linked
# statically) and its tests on a real X server, the man page, the shells that
# complete it and pkg-config; package: the Debian packages and lintian; wayland: compositors
# and a session bus for the Wayland suite; windows: the Windows program (Wine
# runs in a root of its own); release: what a release adds to host and package
# (the Windows program, its ZIP); vm: the VMs and Debian roots.  arm64, armhf,
# armel: the cross compiler and that architecture's static libraries, which
# need it added to dpkg, and emulation: qemu for running those programs, one
# by one and as a whole arm64 machine; these go in the build root
# (scripts/build_root.sh), not on the machine.
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Debian 12 and 13 differ in a few names; this is the one place that knows.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
list=""
[ "${1-}" != --list ] || { list=1; shift; }

# What the program and its suites link, and what the suites need to run, for
# each foreign architecture.
target_libraries=(libxcb1-dev libxcb-xtest0-dev libxau-dev libxdmcp-dev libbsd-dev libmd-dev libdbus-1-dev
    libgtest-dev libstdc++6)

packages=()
for group in "$@"; do
    case "$group" in
    host) packages+=(cmake ninja-build g++ libgtest-dev libxcb1-dev libxcb-xtest0-dev x11proto-dev
        libxau-dev libxdmcp-dev libbsd-dev libmd-dev libdbus-1-dev xvfb xbindkeys groff-base man-db pkg-config fish zsh) ;;
    package) packages+=(build-essential debhelper dpkg-dev lintian) ;;
    wayland) packages+=(sway weston wev dbus) ;;
    windows | release) packages+=(g++-mingw-w64-i686 zip) ;;
    vm) packages+=(qemu-system-x86 cpio debootstrap) ;;
    fuzz) packages+=(clang libclang-rt-dev) ;;
    bench)
        packages+=(gcc valgrind hyperfine xdotool wtype)
        if [ "$codename" = bookworm ]; then
            packages+=(ydotool)
        else
            echo "deps.sh: this release ($codename) has no ydotool: the benchmarks leave it out" >&2
        fi
        ;;
    format) packages+=(clang-format git) ;;
    arm64 | armhf | armel) packages+=("crossbuild-essential-$group" "${target_libraries[@]/%/:$group}") ;;
    # On Debian 13 qemu-user-static brings qemu-user, now static, and the
    # binfmt.d files of qemu-user-binfmt, which Debian 12's ships itself.
    emulation) packages+=(qemu-user-static qemu-system-arm cpio debootstrap) ;;
    *) echo "deps.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done
if [ -n "$list" ]; then
    printf '%s\n' "${packages[@]}" | sort -u
    exit 0
fi

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
[ ${#missing[@]} -gt 0 ] || exit 0

for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
echo "Installing: ${missing[*]}"
# Several builds may install at once: wait for another's apt to finish.
lock=(-o DPkg::Lock::Timeout=1200)
# apt-get update takes the lists' lock without waiting for it.  A mirror in
# the middle of a sync serves some lists that do not match their index for a
# while: those are tried again for about a minute, then the install goes on
# with the lists there are.
failures=0
for _ in $(seq 120); do
    updated=$($sudo apt-get "${lock[@]}" update -q 2>&1) && break
    if ! grep -q 'Could not get lock' <<<"$updated"; then
        failures=$((failures + 1))
        if [ "$failures" -ge 6 ]; then
            echo "deps.sh: apt-get update failed 6 times; going on with the lists there are:" >&2
            grep '^[EW]:' <<<"$updated" >&2 || echo "$updated" >&2
            break
        fi
    fi
    sleep 10
done
apt_install() {
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install "$@" -q --no-install-recommends
}
apt_install -y "${missing[@]}" && exit 0
# One line for each package that cannot be installed, with apt's reason.
for p in "${missing[@]}"; do
    why=$(apt_install -s "$p" 2>&1) && continue
    why=$(grep -m 1 -E '^ |^E:' <<<"$why" | sed 's/^ *//')
    echo "deps.sh: cannot install $p: $why" >&2
done
exit 1
