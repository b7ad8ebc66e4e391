#!/usr/bin/env bash
# One press on the desktops most users run, KDE Plasma (KWin's fake input)
# and GNOME (mutter's remote-desktop session), headless in the Debian 13
# desktop root of tests/vm/debian_root.sh, beside sway (the virtual keyboard)
# on this machine: `mediakey PLAYPAUSK` as an ordinary user, 20 presses each,
# timed from its start until it exits, which it does only once the desktop
# confirmed both keys.  Each desktop comes up through the Wayland suite's
# script with the key bound, and each press must fire the binding once.
# Reports the median, mean, shortest and longest per desktop; exits 1 unless
# every press fired.
# Usage: bench/press_desktop.sh [DESKTOP...]   (sway kwin gnome by default)
set -euo pipefail
cd "$(dirname "$0")/.."
presses=20
if [ -z "${MEDIAKEY_BENCH_IN_ROOT:-}" ]; then
    . bench/common.sh wayland vm
    root=build/default/tests/vm/debian-trixie-desktop
    desktops=("${@:-sway kwin gnome}")
    read -r -a desktops <<<"${desktops[*]}"
    for desktop in "${desktops[@]}"; do
        if [ "$desktop" = sway ]; then
            MEDIAKEY_BENCH_IN_ROOT=1 bash bench/press_desktop.sh sway
        else
            bash tests/vm/debian_root.sh "$root" "$(dpkg --print-architecture)" desktop trixie
            MEDIAKEY_BENCH_IN_ROOT=1 bash tests/vm/in_root.sh "$root/root" build/default \
                bash bench/press_desktop.sh "$desktop"
        fi
    done
    exit 0
fi

desktop=$1
session=$(mktemp -d /tmp/mediakey-bench.XXXXXX)
cp build/default/mediakey "$session/"
chown -R nobody:nogroup "$session"
chmod 0700 "$session"
as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups
    env -i HOME="$session" XDG_RUNTIME_DIR="$session" PATH=/usr/bin:/bin)
if [ "$desktop" = sway ]; then
    printf 'xwayland disable\nbindsym XF86AudioPlay exec echo XF86AudioPlay >>%s/fired\nexec echo ready >>%s/fired\n' \
        "$session" "$session" >"$session/sway.conf"
    "${as_user[@]}" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        sway -c "$session/sway.conf" >"$session/log" 2>&1 &
else
    "${as_user[@]}" bash "tests/linux/${desktop}_session.sh" "$session" 1 >"$session/log" 2>&1 &
fi
trap 'kill $(jobs -p); wait; rm -rf "$session"' EXIT
for _ in $(seq 600); do
    ! grep -qs ready "$session/fired" || break
    sleep 0.1
done
display=$(cd "$session" && ls -d wayland-* | grep -v '\.' | head -n 1)
# A desktop's seat has a keyboard, and then the virtual keyboard's press need
# not wait for the clients to take up its own: a sleeping wtype holds one.
if [ "$desktop" = sway ]; then
    "${as_user[@]}" WAYLAND_DISPLAY="$display" wtype -s 600000 &
    sleep 0.5
fi
times=()
for ((i = 0; i < presses + 1; i++)); do
    start=$(date +%s%N)
    "${as_user[@]}" WAYLAND_DISPLAY="$display" "$session/mediakey" PLAYPAUSK >/dev/null
    # The first press warms the caches and is not counted.
    [ "$i" -eq 0 ] || times+=($((($(date +%s%N) - start) / 1000)))
done
sleep 1
fired=$(grep -c XF86AudioPlay "$session/fired" || true)
printf '%s\n' "${times[@]}" | sort -n | awk -v desktop="$desktop" -v fired="$fired" -v want=$((presses + 1)) '
    { t[NR] = $1 / 1000; sum += t[NR] }
    END {
        median = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "%-6s wall time per press (ms): median %.1f, mean %.1f, shortest %.1f, longest %.1f; fired %d of %d\n",
            desktop, median, sum / NR, t[1], t[NR], fired, want
        exit fired == want ? 0 : 1
    }'
