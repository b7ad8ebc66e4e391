#!/usr/bin/env bash
# Builds a small Debian root for the VM suites with debootstrap, once: it is
# kept under DIR and built anew only when its release or package list changes.
# The mirror is the one this machine's apt already uses.  A root of another
# architecture is bootstrapped in two stages, the second under qemu-user.
# Usage: tests/vm/debian_root.sh DIR [ARCH [KIND [RELEASE]]]   (the root goes
#        to DIR/root; ARCH: this machine's by default; KIND: input, desktop,
#        wine or build; RELEASE: bookworm or trixie)
set -euo pipefail
dir=$1
arch=${2:-$(dpkg --print-architecture)}
kind=${3:-input}
release=${4:-bookworm}
foreign=""
case $kind in
# udev with Debian's rules and hwdb; libinput and sway, which read keyboards
# as desktops do; seatd, which hands sway its devices; systemd as init with
# logind, dbus and acl for sessions of ordinary users, with each user's own
# bus beside the user's service manager; evtest, a reader that a rule hands
# new devices, and wev, a focused Wayland client.
input) packages="udev libinput-tools sway seatd systemd-sysv dbus dbus-user-session acl kmod evtest wev" ;;
# The desktops most users run, headless in a chroot: KWin with its global
# shortcuts, gnome-shell (mutter) with gsd-media-keys, gjs for a media player
# of the suite's, and the session bus's own tools to watch them.
desktop) packages="kwin-wayland kglobalacceld gnome-shell gnome-settings-daemon gjs dbus-daemon dbus-bin libglib2.0-bin" ;;
# Wine's 32-bit side, for a host whose kernel runs no 32-bit program.
wine) packages="kmod wine wine32:i386" foreign=i386 ;;
# What builds and runs the programs of the other architectures: their cross
# compilers and libraries, whose versions must match each other, and what
# their suites run beside them (scripts/build_root.sh).
build)
    deps=$(dirname "$0")/../../scripts/deps.sh
    packages=$(bash "$deps" --list host package wayland release format emulation | paste -sd ' ')
    foreign="arm64 armhf armel"
    # shellcheck disable=SC2086
    cross=$(bash "$deps" --list $foreign | paste -sd ' ')
    ;;
*) echo "debian_root.sh: no root of kind '$kind'" >&2; exit 2 ;;
esac
case $release in
bookworm) ;;
# labwc, a second wlroots compositor, which bookworm lacks.
trixie) if [ "$kind" = input ]; then packages="$packages labwc"; fi ;;
*) echo "debian_root.sh: no root of release '$release'" >&2; exit 2 ;;
esac
stamp="$kind $release: $packages${cross:+; $cross}"
# The debug sections of Wine's Windows side are more than half of its root,
# but only Debian 12's MinGW strips them harmlessly: Debian 13's left
# kernel32.dll unloadable (a page fault in the first program).
strip_wine=""
if [ "$kind" = wine ] && [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ]; then
    strip_wine=1 stamp="$stamp, debug stripped"
fi
[ "$arch" = "$(dpkg --print-architecture)" ] || stamp="$arch: $stamp"

if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$stamp" ]; then
    exit 0
fi

mirror() {
    local uri
    uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{ print $2; exit }')
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 !~ /-/ { print $2; exit }' \
        /etc/apt/sources.list 2>/dev/null)
    [ -n "$uri" ] || { echo "debian_root.sh: no Debian mirror in the apt sources" >&2; exit 1; }
    echo "$uri"
}

echo "debian_root.sh: building the Debian $release root ($kind) under $dir (once)"
rm -rf "$dir"
mkdir -p "$dir"
root=$dir/root
log=$dir/debootstrap.log
fail() { tail -n 30 "$log" >&2; exit 1; }
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    debootstrap --variant=minbase "$release" "$root" "$(mirror)" >"$log" 2>&1 || fail
else
    debootstrap --foreign --arch="$arch" --variant=minbase "$release" "$root" "$(mirror)" >"$log" 2>&1 ||
        fail
    chroot "$root" /debootstrap/debootstrap --second-stage >>"$log" 2>&1 || fail
fi
if [ -n "$foreign" ]; then
    for a in $foreign; do chroot "$root" dpkg --add-architecture "$a"; done
    chroot "$root" apt-get update -q >>"$log" 2>&1 || fail
fi
# apt, unlike debootstrap, resolves alternatives and leaves out what is only
# recommended; no service starts inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
apt_install() {
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}
# shellcheck disable=SC2086
apt_install $packages >>"$log" 2>&1 || fail
# The build root: each other architecture's compilers and libraries on their
# own, so that one the mirror cannot serve today leaves the others, and its
# reason is kept where scripts/build_root.sh finds it.
if [ "$kind" = build ]; then
    : >"$root/etc/mediakey-build-root.missing"
    for a in $foreign; do
        # shellcheck disable=SC2046
        out=$(apt_install $(bash "$deps" --list "$a") 2>&1) && continue
        echo "$out" >>"$log"
        echo "$a: $(grep -m 1 '^E: ' <<<"$out")" >>"$root/etc/mediakey-build-root.missing"
    done
fi
rm "$root/usr/sbin/policy-rc.d"
rm -rf "$root"/var/cache/apt/* "$root"/var/lib/apt/lists/*
if [ "$kind" = build ]; then
    # How scripts/build_root.sh knows that it runs there.
    echo "$stamp" >"$root/etc/mediakey-build-root"
    echo "$stamp" >"$dir/ready"
    exit 0
fi

# What a VM that boots from memory does not need.
# Mesa's drivers and the LLVM they need: sway draws with pixman here, but
# gnome-shell only with Mesa's software renderer.  Python: only libinput's
# scripted tools use it, not debug-events.
rm -rf "$root"/usr/share/{doc,man,info,locale,i18n,lintian,bash-completion} \
    "$root"/usr/lib/python3*
[ "$kind" = desktop ] || rm -rf "$root"/usr/share/icons "$root"/usr/lib/*-linux-gnu/{dri,libLLVM*,libz3.so*}
if [ -n "$strip_wine" ]; then
    find "$root"/usr/lib/i386-linux-gnu/wine/i386-windows -type f -print0 |
        xargs -0 -n 100 i686-w64-mingw32-strip --strip-debug
fi
echo "$stamp" >"$dir/ready"
