#!/usr/bin/env bash
# One press on an X display: `mediakey PLAYPAUSK` against the peer
# `xdotool key --delay 0 XF86AudioPlay`, both on the same Xvfb display in one
# run.  Instructions per press from callgrind, wall time from hyperfine.
# Exits 1 when mediakey needs more than 0.10 of xdotool's instructions.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
. scripts/headless_x.sh
start_headless_x "$work"
trap 'kill $XVFB_PID' EXIT
unset WAYLAND_DISPLAY

tool=$(instructions build/default/mediakey PLAYPAUSK)
peer=$(instructions xdotool key --delay 0 XF86AudioPlay)
ratio=$(awk -v t="$tool" -v p="$peer" 'BEGIN { printf "%.3f", t / p }')

echo "instructions per press on $DISPLAY: mediakey $tool, xdotool $peer, ratio $ratio" \
    "(target at most 0.10)"
hyperfine -N --warmup 20 --runs 300 "build/default/mediakey PLAYPAUSK" \
    "xdotool key --delay 0 XF86AudioPlay" "xdotool key XF86AudioPlay"

awk -v r="$ratio" 'BEGIN { exit !(r <= 0.10) }'
