#!/usr/bin/env bash
# Runs a command as root in a root of tests/vm/debian_root.sh as a chroot,
# with this source tree and BUILD_DIR at the same paths as here, where the
# programs built here find what was compiled into them.  Exits with the
# command's status, in the working directory where the root has it.
# Usage: tests/vm/in_root.sh ROOT BUILD_DIR COMMAND...   (ROOT: the root itself)
set -euo pipefail
# A mount namespace of its own, private: nothing mounted here shows outside,
# where the host's mounts would otherwise pass them on to its own /dev.  A
# network of its own too: a compositor's XWayland claims an X display's
# socket in the abstract namespace, which another suite's X server here may
# be about to take.
if [ -z "${IN_ROOT_NAMESPACE:-}" ]; then
    IN_ROOT_NAMESPACE=1 exec unshare --mount --propagation private --net bash "$0" "$@"
fi
unset IN_ROOT_NAMESPACE
root=$(realpath "$1")
build=$(realpath "$2")
shift 2
source=$(realpath "$(dirname "$0")/../..")
mounted=()
# A compositor that outlives the command keeps its mounts busy: lazily.
# shellcheck disable=SC2317
unmount() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" || true
    done
}
trap unmount EXIT
at() {
    local target=$root$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}
at /proc -t proc proc
at /sys --bind /sys
at /dev --bind /dev
at /dev/pts --bind /dev/pts
at /dev/shm -t tmpfs shm
at /tmp -t tmpfs tmp
at "$source" --bind "$source"
at "$build" --bind "$build"
dir=/
[ ! -d "$root$PWD" ] || dir=$PWD
status=0
chroot "$root" /usr/bin/env -C "$dir" "$@" || status=$?
exit "$status"
