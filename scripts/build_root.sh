#!/usr/bin/env bash
# Runs COMMAND as root in the build root, with this checkout at the same path:
# a Debian root of this machine's release, made from the mirror's release
# suite alone, with the cross compilers, the other architectures' libraries
# and what their suites run beside them.  Their versions must match each
# other, which a moving mirror's security and update suites break on the
# machine itself, and the machine's dpkg keeps only its own architecture.
# The root is made once and kept under build/ (MEDIAKEY_BUILD_ROOT: its
# directory, shared by clones), and made anew when its package list changes.
# ARM programs start there through binfmt_misc, registered from the root's
# own qemu where the kernel has no entry that runs them there.
# Usage: scripts/build_root.sh COMMAND...   (inside the root: runs COMMAND)
set -euo pipefail
[ ! -f /etc/mediakey-build-root ] || exec "$@"
source=$(cd "$(dirname "$0")/.." && pwd)
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
dir=${MEDIAKEY_BUILD_ROOT:-$source/build/build-root-$release}
bash "$source/scripts/deps.sh" vm
bash "$source/tests/vm/debian_root.sh" "$dir" "$(dpkg --print-architecture)" build "$release"
root=$(realpath "$dir/root")

# The line binfmt_misc takes for qemu's NAME, from the binfmt.d file that
# the root's qemu ships for systemd-binfmt, which no chroot or container
# runs.  The interpreter is opened once, here (F), so that it serves in the
# root and in any chroot in it.
format() {
    local name=$1 line
    line=$(grep -v '^#' "$root/usr/lib/binfmt.d/$name.conf" | head -n 1)
    IFS=: read -r _ _ type offset magic mask interpreter flags <<<"$line"
    flags=${flags//F/}
    echo ":$name:$type:$offset:$magic:$mask:$root$interpreter:${flags}F"
}

# A program of each ARM format runs in the root, or its entry is registered:
# under qemu's name, or beside an entry of that name that serves elsewhere.
binfmt=/proc/sys/fs/binfmt_misc
for probe in "qemu-aarch64|/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1" \
    "qemu-arm|/usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3" \
    "qemu-arm|/usr/arm-linux-gnueabi/lib/ld-linux.so.3"; do
    IFS='|' read -r name program <<<"$probe"
    # An architecture the root lacks (see /etc/mediakey-build-root.missing).
    [ -e "$root$program" ] || continue
    ! chroot "$root" "$program" --help >/dev/null 2>&1 || continue
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    entry=$name
    [ ! -e "$binfmt/$entry" ] || entry=mediakey-$name
    [ ! -e "$binfmt/$entry" ] || echo -1 >"$binfmt/$entry"
    line=$(format "$name")
    echo ":$entry:${line#:"$name":}" >"$binfmt/register"
    chroot "$root" "$program" --help >/dev/null 2>&1 ||
        { echo "build_root.sh: $name programs do not run in the build root, even with $binfmt/$entry" >&2; exit 1; }
    echo "build_root.sh: registered $entry in binfmt_misc, from the build root's qemu"
done

MEDIAKEY_ROOT_NETWORK=1 exec bash "$source/tests/vm/in_root.sh" "$root" "$source" "$@"
