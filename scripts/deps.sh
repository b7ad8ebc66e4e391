#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing.
# Usage: scripts/deps.sh GROUP...   (groups: host package wayland windows vm fuzz bench format
#                                    arm64 armhf armel emulation)
# host: the Linux program (XTEST through libxcb, linked statically) and its
# tests on a real X server, the man page and pkg-config; package: the Debian
# packages and lintian; wayland: compositors for the Wayland suite; vm: the
# uinput suite in a VM on Debian's kernel.  arm64, armhf, armel: the cross
# compiler and that architecture's static libraries, which need it added to
# dpkg; emulation: qemu for running those programs here, one by one and as a
# whole arm64 machine.
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# What the program and its suites link, and what the suites need to run, for
# each foreign architecture.
target_libraries=(libxcb1-dev libxcb-xtest0-dev libxau-dev libxdmcp-dev libbsd-dev libmd-dev libgtest-dev
    libstdc++6)

packages=()
for group in "$@"; do
    case "$group" in
    host) packages+=(cmake ninja-build g++ libgtest-dev libxcb1-dev libxcb-xtest0-dev x11proto-dev
        libxau-dev libxdmcp-dev libbsd-dev libmd-dev xvfb xbindkeys groff-base man-db pkg-config) ;;
    package) packages+=(build-essential debhelper dpkg-dev lintian) ;;
    wayland) packages+=(sway weston wev) ;;
    windows) packages+=(g++-mingw-w64-i686 wine wine32:i386) ;;
    vm) packages+=(qemu-system-x86 cpio debootstrap) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench) packages+=(gcc valgrind hyperfine xdotool ydotool wtype) ;;
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

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    [[ " $* " != *" emulation "* ]] || enable_emulation
    exit 0
fi

for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
echo "Installing: ${missing[*]}"
# Several builds may install at once: wait for another's apt to finish.
lock=(-o DPkg::Lock::Timeout=1200)
$sudo apt-get "${lock[@]}" update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install -y -q --no-install-recommends \
    "${missing[@]}"
[[ " $* " != *" emulation "* ]] || enable_emulation
