#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing.
# Usage: scripts/deps.sh GROUP...
# (groups: host package wayland windows release vm fuzz bench format arm64
# armhf armel emulation)
# host: the Linux program (XTEST through libxcb, mutter through libdbus, linked
# statically) and its tests on a real X server, the man page, the shells that
# complete it and pkg-config; package: the Debian packages and lintian; wayland: compositors
# and a session bus for the Wayland suite; release: what a release adds to host and package (the
# Windows program without Wine, its ZIP); vm: the uinput suite in a VM on
# Debian's kernel.  arm64, armhf, armel: the cross compiler and that
# architecture's static libraries, which need it added to dpkg; emulation:
# qemu for running those programs here, one by one and as a whole arm64
# machine.
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Debian 12 and 13 differ in a few names; this is the one place that knows.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

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
    windows) packages+=(g++-mingw-w64-i686 wine wine32:i386) ;;
    release) packages+=(g++-mingw-w64-i686 zip) ;;
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
    emulation) packages+=(qemu-user-static binfmt-support qemu-system-arm) ;;
    *) echo "deps.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done

# Programs of the other architectures start through binfmt_misc, which a
# machine without systemd may not have mounted yet.
enable_emulation() {
    [ -e /proc/sys/fs/binfmt_misc/status ] || $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    for format in qemu-aarch64 qemu-arm; do
        [ -e "/proc/sys/fs/binfmt_misc/$format" ] || $sudo update-binfmts --enable "$format"
    done
}

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
if [ ${#missing[@]} -gt 0 ]; then
    for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
        dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
    done
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
fi
[[ " $* " != *" emulation "* ]] || enable_emulation
