#!/usr/bin/env bash
# One press through uinput, in a VM on Debian's own kernel with a reader that
# attaches to each new input device as a compositor does: ten presses of
# `mediakey PLAYPAUSK` against ten of the general input tool ydotool in its
# one-shot mode (`ydotool key a`, no daemon) and ten of `ydotool key --delay 0
# a`.  ydotool cannot name a media key, so it presses A.  Reports the wall
# time per press and how many presses the reader saw.  Exits 1 unless
# mediakey delivers 10 of 10 at least 3 times faster than one-shot ydotool.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh vm
cmake --build --preset default --target evreader >/dev/null
g++ -O2 -static -o "$work/press_timer" bench/press_timer.cpp
cat >"$work/press_uinput_vm.sh" <<'VM'
# Runs inside the VM from /suite.
mkfifo /tmp/control
./evreader </tmp/control >/tmp/reader.log &
exec 3>/tmp/control
until grep -q ready /tmp/reader.log; do sleep 0.1; done
measure() {
    name=$1
    shift
    before=$(grep -c '^press ' /tmp/reader.log || true)
    times=$(./press_timer 10 "$@")
    # Late events of the last press still count.
    sleep 1
    after=$(grep -c '^press ' /tmp/reader.log || true)
    echo "bench: $name $times delivered $((after - before))"
}
measure mediakey ./mediakey PLAYPAUSK
measure start-up-only ./mediakey SHUTDOWNS
measure ydotool ./ydotool key a
measure ydotool-delay0 ./ydotool key --delay 0 a
VM

MEDIAKEY_KERNEL_DIR=build/default/tests/vm/kernel bash tests/vm/boot.sh "$work/vm" \
    "$work/press_uinput_vm.sh" build/default/mediakey build/default/tests/evreader \
    "$(command -v ydotool)" "$work/press_timer" >"$work/press_uinput.log"
grep -ao 'bench: .*' "$work/press_uinput.log" | tr -d '\r' | awk '
    { mean[$2] = $6; delivered[$2] = $12 }
    END {
        printf "%-16s %14s %10s\n", "tool", "ms per press", "delivered"
        n = split("mediakey ydotool ydotool-delay0 start-up-only", order, " ")
        for (i = 1; i <= n; i++) printf "%-16s %14.1f %7d/10\n", order[i], mean[order[i]], delivered[order[i]]
        ratio = mean["ydotool"] / mean["mediakey"]
        printf "mediakey is %.1f times faster per press than one-shot ydotool (target at least 3)\n", ratio
        exit !(ratio >= 3 && delivered["mediakey"] == 10)
    }'
