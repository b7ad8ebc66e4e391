#!/usr/bin/env bash
# Runs SCRIPT as root, with the given files beside it, where Wine runs 32-bit
# Windows programs: a ready prefix in $WINEPREFIX (wineboot done) and its
# server up.  Wine lives in a Debian root of its own (debian_root.sh's kind
# wine), never on this machine: where this machine's kernel runs 32-bit x86
# programs, SCRIPT runs in that root as a chroot; where it does not, in
# Debian's amd64 kernel under qemu booted with that root (boot.sh), and
# MEDIAKEY_WINE_VM=1 takes the emulated machine anyway.  The first line says
# which and why.  SCRIPT's output passes through and its status is this
# one's; what it leaves in ./out/ comes back to WORK_DIR/out/.  The prefix is
# made once and kept with the root, or under WORK_DIR for the VM.
# Usage: tests/vm/wine.sh WORK_DIR SCRIPT [FILE...]
set -euo pipefail

# With the server kept up before wineboot, the server that wineboot starts
# stays, and later runs do not pay for starting one (7-9 s each in the VM).
prepare_prefix() {
    export WINEPREFIX=$1 WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    local init=""
    if [ ! -f "$WINEPREFIX/ready" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        init=-i
    fi
    wineserver -k 2>/dev/null || true
    wineserver -p || { echo "wine.sh: FAIL: wineserver does not start" >&2; exit 1; }
    # Wine's services start with the first program and stay: not on the
    # pipes of SCRIPT's first run.
    wine wineboot $init >/dev/null 2>&1 || { echo "wine.sh: FAIL: wineboot $init failed" >&2; exit 1; }
    touch "$WINEPREFIX/ready"
}

# In the root, from the directory of SCRIPT and its files.  In the emulated
# machine, a prefix brought back from an earlier boot, or a new one that goes
# back with out/; in the chroot the root keeps it.
if [ "${1-}" = --guest ]; then
    prefix=/var/lib/mediakey-wine
    if [ -f prefix.tar ]; then
        tar -xf prefix.tar -C /
        rm prefix.tar
    fi
    new=0
    [ -f "$prefix/ready" ] || new=1
    # The server ends after SCRIPT.
    prepare_prefix "$prefix"
    status=0
    sh "./$2" || status=$?
    wineserver -k || true
    # Only a whole archive goes back: a cut one would break every later boot.
    if [ "$new" = 1 ] && [ "${3-}" != chroot ]; then
        mkdir -p out
        if tar -cf out/.wine-prefix.part -C / "${prefix#/}"; then
            mv out/.wine-prefix.part out/.wine-prefix.tar
        else
            rm -f out/.wine-prefix.part
        fi
    fi
    exit "$status"
fi

work=$(realpath -m "$1")
script=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
rm -rf "$work/out"

# Every end says why.
trap 'status=$?; [ "$status" = 0 ] || echo "wine.sh: FAIL: exit status $status" >&2' EXIT
root=$work/debian
bash "$here/debian_root.sh" "$root" amd64 wine
# A 32-bit program that the kernel refuses (ENOEXEC) runs nowhere here.
loader=/usr/lib/wine/wine
why="MEDIAKEY_WINE_VM=1"
if [ "${MEDIAKEY_WINE_VM-}" != 1 ]; then
    # bash, unlike chroot's execvp, hands a refused program to no shell.
    if answer=$(chroot "$root/root" /bin/bash -c "exec $loader --version" 2>&1); then
        echo "wine.sh: Wine in its root as a chroot ($answer): this machine's kernel runs 32-bit programs"
        run=$work/run
        rm -rf "$run"
        mkdir -p "$run"
        cp "$script" "$here/wine.sh" "$@" "$run/"
        status=0
        (cd "$run" && bash "$here/in_root.sh" "$root/root" "$work" \
            bash ./wine.sh --guest "$(basename "$script")" chroot) || status=$?
        [ ! -d "$run/out" ] || cp -r "$run/out" "$work/out"
        exit "$status"
    fi
    why="this machine's kernel runs no 32-bit program: $(head -n 1 <<<"$answer")"
fi
echo "wine.sh: Wine in an emulated amd64 machine ($why)"
command -v qemu-system-x86_64 >/dev/null ||
    { echo "wine.sh: FAIL: no qemu-system-x86_64 to run Wine in (scripts/deps.sh vm)" >&2; exit 1; }
vm=$work/vm
files=("$script" "$here/wine.sh" "$@")
# A prefix is kept for the root it was made in.
[ ! "$work/prefix.tar" -nt "$root/ready" ] || files+=("$work/prefix.tar")
printf 'exec bash ./wine.sh --guest %s\n' "$(basename "$script")" >"$work/guest.sh"
status=0
# Its first boot makes the prefix, which took 15 minutes of the machine's
# time beside one busy loop on the host; ctest allows the proof 40.
MEDIAKEY_VM_SECONDS=2100 MEDIAKEY_VM_KIND=wine MEDIAKEY_VM_ROOT=$root MEDIAKEY_KERNEL_DIR=$work/kernel \
    bash "$here/boot.sh" "$vm" "$work/guest.sh" "${files[@]}" || status=$?
if [ -d "$vm/out" ]; then
    [ ! -f "$vm/out/.wine-prefix.tar" ] || mv "$vm/out/.wine-prefix.tar" "$work/prefix.tar"
    cp -r "$vm/out" "$work/out"
fi
exit "$status"
