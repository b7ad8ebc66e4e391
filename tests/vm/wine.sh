#!/usr/bin/env bash
# Runs SCRIPT as root, with the given files beside it, where Wine runs 32-bit
# Windows programs: a ready prefix in $WINEPREFIX (wineboot done) and its
# server up.  That is this machine's Wine where its kernel runs 32-bit x86
# programs, and otherwise Debian's amd64 kernel under qemu with a root that
# has Wine (boot.sh); MEDIAKEY_WINE_VM=1 takes the emulated machine anyway.
# SCRIPT's output passes through and its status is this one's; what it
# leaves in ./out/ comes back to WORK_DIR/out/.  The prefix is made once and
# kept under WORK_DIR.
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

# Runs SCRIPT from DIR with the prefix ready, and ends Wine's server after it.
run_with_wine() {
    local prefix=$1 dir=$2 script=$3
    prepare_prefix "$prefix"
    status=0
    (cd "$dir" && sh "./$script") || status=$?
    wineserver -k || true
}

# Inside the emulated machine, from /suite: a prefix brought back from an
# earlier boot, or a new one that goes back with out/.
if [ "${1-}" = --guest ]; then
    prefix=/var/lib/mediakey-wine
    if [ -f prefix.tar ]; then
        tar -xf prefix.tar -C /
        rm prefix.tar
    fi
    new=0
    [ -f "$prefix/ready" ] || new=1
    run_with_wine "$prefix" . "$2"
    # Only a whole archive goes back: a cut one would break every later boot.
    if [ "$new" = 1 ]; then
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

# A 32-bit program that the kernel refuses (ENOEXEC) runs nowhere here.
loader=/usr/lib/wine/wine
if [ "${MEDIAKEY_WINE_VM-}" != 1 ] && "$loader" --version >/dev/null 2>&1; then
    echo "wine.sh: this machine's Wine ($("$loader" --version))"
    run=$work/run
    rm -rf "$run"
    mkdir -p "$run"
    cp "$script" "$@" "$run/"
    run_with_wine "$work/prefix" "$run" "$(basename "$script")"
    [ ! -d "$run/out" ] || cp -r "$run/out" "$work/out"
    exit "$status"
fi

why="MEDIAKEY_WINE_VM=1"
[ "${MEDIAKEY_WINE_VM-}" = 1 ] || why="$loader does not run here: $("$loader" --version 2>&1 | tail -n 1)"
echo "wine.sh: Wine in an emulated amd64 machine ($why)"
command -v qemu-system-x86_64 >/dev/null ||
    { echo "wine.sh: FAIL: no qemu-system-x86_64 to run Wine in, nor a kernel here that runs it" >&2; exit 1; }
vm=$work/vm
files=("$script" "$here/wine.sh" "$@")
# A prefix is kept for the root it was made in.
[ ! "$work/prefix.tar" -nt "$work/debian/ready" ] || files+=("$work/prefix.tar")
printf 'exec bash ./wine.sh --guest %s\n' "$(basename "$script")" >"$work/guest.sh"
status=0
MEDIAKEY_VM_KIND=wine MEDIAKEY_VM_ROOT=$work/debian MEDIAKEY_KERNEL_DIR=$work/kernel \
    bash "$here/boot.sh" "$vm" "$work/guest.sh" "${files[@]}" || status=$?
if [ -d "$vm/out" ]; then
    [ ! -f "$vm/out/.wine-prefix.tar" ] || mv "$vm/out/.wine-prefix.tar" "$work/prefix.tar"
    cp -r "$vm/out" "$work/out"
fi
exit "$status"
