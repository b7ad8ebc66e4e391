#!/usr/bin/env bash
# Runs a command as root in a root of tests/vm/debian_root.sh as a chroot,
# with this source tree and BUILD_DIR at the same paths as here, where the
# programs built here find what was compiled into them.  Exits with the
# command's status, in the working directory where the root has it.
# Usage: tests/vm/in_root.sh ROOT BUILD_DIR COMMAND...   (ROOT: the root itself;
#        MEDIAKEY_ROOT_NETWORK=1 keeps the machine's network)
set -euo pipefail
# Mount and network namespaces of its own: nothing mounted here reaches the
# host's /dev through shared mounts, and labwc's XWayland claims an X
# display's abstract socket that an X server of another suite may want.
if [ -z "${IN_ROOT_NAMESPACE:-}" ]; then
    net=--net
    [ "${MEDIAKEY_ROOT_NETWORK-}" != 1 ] || net=""
    IN_ROOT_NAMESPACE=1 exec unshare --mount --propagation private $net bash "$0" "$@"
fi
unset IN_ROOT_NAMESPACE
root=$(realpath "$1") build=$(realpath "$2") source=$(realpath "$(dirname "$0")/../..")
shift 2
mounted=()
# Lazily: a compositor that outlives the command keeps its mounts busy.
trap 'for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}"; done' EXIT
at() {
    mkdir -p "$root$1"
    mount "${@:2}" "$root$1"
    mounted+=("$root$1")
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
