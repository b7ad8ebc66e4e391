#!/usr/bin/env bash
# One press on an X display: `mediakey PLAYPAUSK` against the peer
# `xdotool key --delay 0 XF86AudioPlay`, both on the same Xvfb display in one
# run.  Instructions per press from callgrind, wall time from hyperfine.
# Exits 1 when mediakey needs more than 0.10 of xdotool's instructions.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host bench
cmake --preset default >/dev/null
cmake --build --preset default --target mediakey >/dev/null

work=build/bench
mkdir -p "$work"
exec {displayfd}>"$work/display"
# -noreset: like a desktop, whose clients never all leave; otherwise the
# server resets after each press and drops connections that come meanwhile.
Xvfb -displayfd "$displayfd" -noreset -nolisten tcp -screen 0 640x480x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb' EXIT
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
export DISPLAY=":$(tr -d '\n' <"$work/display")"
unset WAYLAND_DISPLAY

# The program's own status does not matter here, only its count.
instructions() {
    { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null || true; } |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

tool=$(instructions build/default/mediakey PLAYPAUSK)
peer=$(instructions xdotool key --delay 0 XF86AudioPlay)
ratio=$(awk -v t="$tool" -v p="$peer" 'BEGIN { printf "%.3f", t / p }')

echo "instructions per press on $DISPLAY: mediakey $tool, xdotool $peer, ratio $ratio" \
    "(target at most 0.10)"
hyperfine -N --warmup 20 --runs 300 "build/default/mediakey PLAYPAUSK" \
    "xdotool key --delay 0 XF86AudioPlay" "xdotool key XF86AudioPlay"

awk -v r="$ratio" 'BEGIN { exit !(r <= 0.10) }'
