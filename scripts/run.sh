#!/usr/bin/env bash
# Builds mediakey for this host and runs it once with the given code.
# Usage: scripts/run.sh [CODE]   (default: PLAYPAUSK)
#
# In a desktop session (DISPLAY or WAYLAND_DISPLAY set) the key is pressed for
# real.  Without one, as on a fresh server, a headless X server (Xvfb) stands
# in, with the test listener grabbing the media keys as a desktop would, and
# what the listener received is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
code=${1-PLAYPAUSK}

scripts/deps.sh host
cmake --preset default >/dev/null
if [ -n "${DISPLAY-}" ] || [ -n "${WAYLAND_DISPLAY-}" ]; then
    cmake --build --preset default --target mediakey
    echo "+ build/default/mediakey $code"
    exec build/default/mediakey "$code"
fi

cmake --build --preset default --target mediakey keylistener
. scripts/headless_x.sh
start_headless_x build/run
trap 'kill $XVFB_PID 2>/dev/null' EXIT
echo "No desktop session here: pressing on a headless X server at $DISPLAY, where a listener"
echo "grabs the media keys as a desktop does."

coproc listener { exec build/default/tests/keylistener; }
trap 'kill $listener_PID $XVFB_PID 2>/dev/null' EXIT
read -r ready <&"${listener[0]}"
[ "$ready" = ready ] || { echo "run.sh: the listener did not start" >&2; exit 1; }

echo "+ DISPLAY=$DISPLAY build/default/mediakey $code"
status=0
build/default/mediakey "$code" || status=$?
echo "exit status: $status"

echo sync >&"${listener[1]}"
echo "the listener received:"
events=0
while read -r line <&"${listener[0]}" && [ "$line" != synced ]; do
    echo "  $line"
    events=$((events + 1))
done
[ "$events" -gt 0 ] || echo "  nothing"
exit "$status"
