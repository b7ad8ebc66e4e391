#!/usr/bin/env bash
# One press through a Wayland compositor's virtual keyboard: `mediakey
# PLAYPAUSK` against the peer `wtype -k XF86AudioPlay`, on one headless sway
# in one run, as an ordinary user (nobody when run as root; sway refuses
# root).  Wall time per press from bench/fired_timer, whose clock stops only
# once sway's binding for the key has run, so that compositor work a program
# leaves behind is charged to it, in rounds of 20 presses each taken in
# turn.  First on a seat with no keyboard, where mediakey gives the clients
# time to take up its own: reported only.  Then as on a desktop, whose seat
# has a keyboard (a virtual one held open for the rest of the run), with the
# instructions of the client process from callgrind.  Exits 1 unless there
# mediakey's median wall time per press is at most 0.7 of wtype's, and unless
# every press of both parts fired.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh wayland
rounds=${ROUNDS:-10}
per_round=20

as_user=()
[ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
# The runtime directory of that user, mode 0700, holding everything it runs:
# the checkout may sit where it cannot read.
session=$(mktemp -d /tmp/mediakey-bench.XXXXXX)
cp build/default/mediakey "$session/"
g++ -O2 -static -o "$session/fired_timer" bench/fired_timer.cpp
cat >"$session/sway.conf" <<CONF
xwayland disable
bindsym XF86AudioPlay exec echo fired >>$session/fired
exec echo ready >>$session/fired
CONF
[ ${#as_user[@]} -eq 0 ] || chown -R nobody:nogroup "$session"
chmod 0700 "$session"

in_session() {
    env -i PATH=/usr/bin:/bin HOME="$session" XDG_RUNTIME_DIR="$session" "$@"
}
env -i PATH=/usr/bin:/bin HOME="$session" XDG_RUNTIME_DIR="$session" WLR_BACKENDS=headless \
    WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 "${as_user[@]}" sway -c "$session/sway.conf" \
    >"$work/press_wayland_sway.log" 2>&1 &
sway_pid=$!
trap 'kill $sway_pid; wait $sway_pid 2>/dev/null; rm -rf "$session"' EXIT
for _ in $(seq 200); do
    grep -qs ready "$session/fired" && break
    sleep 0.1
done
grep -qs ready "$session/fired" || { echo "sway did not start" >&2; exit 1; }
display=$(cd "$session" && ls wayland-* | grep -v lock | head -1)

client() {
    in_session WAYLAND_DISPLAY="$display" "${as_user[@]}" "$@"
}
instructions_of() {
    { client valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null ||
        true; } | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
timed() {
    client "$session/fired_timer" "$1" "$session/fired" "${@:2}"
}

wtype=$(command -v wtype)
# Rounds in turn, so that whatever else the machine does weighs on both.
measure() {
    : >"$work/press_wayland.times"
    for _ in $(seq "$1"); do
        timed "$per_round" "$session/mediakey" PLAYPAUSK | sed 's/^/mediakey /' >>"$work/press_wayland.times"
        timed "$per_round" "$wtype" -k XF86AudioPlay | sed 's/^/wtype /' >>"$work/press_wayland.times"
    done
}
# The table of one part; with a bound, exits 1 unless mediakey's median ratio
# is within it.  Every press must have fired in any case.
summary() {
    sort -k1,1 -k2,2n "$work/press_wayland.times" | awk -v title="$1" -v bound="${2:-}" \
        -v tool_ins="${tool_ins:-0}" -v peer_ins="${peer_ins:-0}" '
    { n[$1]++; t[$1, n[$1]] = $2; sum[$1] += $2; if ($3 != "missed") fired[$1]++ }
    function median(k) { return n[k] % 2 ? t[k, (n[k] + 1) / 2] : (t[k, n[k] / 2] + t[k, n[k] / 2 + 1]) / 2 }
    function row(name, k, ins) {
        printf "%-26s %12s %9.2f %9.2f %9.2f %9.2f %7d/%d\n", name, ins ? ins : "-", median(k),
            sum[k] / n[k], t[k, 1], t[k, n[k]], fired[k], n[k]
    }
    END {
        printf "%-26s %12s %9s %9s %9s %9s %9s\n", title, "instructions", "median", "mean", "min",
            "max", "fired"
        row("mediakey PLAYPAUSK", "mediakey", tool_ins)
        row("wtype -k XF86AudioPlay", "wtype", peer_ins)
        ratio = median("mediakey") / median("wtype")
        printf "wall time per press (ms): median ratio %.3f, mean ratio %.3f", ratio,
            (sum["mediakey"] / n["mediakey"]) / (sum["wtype"] / n["wtype"])
        if (tool_ins && peer_ins)
            printf "; instructions ratio %.3f", tool_ins / peer_ins
        printf "\n"
        ok = fired["mediakey"] == n["mediakey"] && fired["wtype"] == n["wtype"]
        if (bound != "") {
            printf "target: median ratio at most %s, every press fired\n", bound
            ok = ok && ratio <= bound
        } else {
            printf "target: every press fired\n"
        }
        exit !ok
    }'
}

timed 10 "$session/mediakey" PLAYPAUSK >/dev/null
timed 10 "$wtype" -k XF86AudioPlay >/dev/null
measure "${SEATLESS_ROUNDS:-3}"
status=0
summary "no keyboard on the seat" || status=1
echo

# A keyboard on the seat for the rest of the run, as a desktop has.
env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$session" WAYLAND_DISPLAY="$display" "${as_user[@]}" \
    "$wtype" -s 600000 &
holder=$!
trap 'kill $holder; kill $sway_pid; wait $sway_pid 2>/dev/null; rm -rf "$session"' EXIT
for _ in $(seq 100); do
    client swaymsg -r -s "$(ls "$session"/sway-ipc.*)" -t get_inputs | grep -q '"type": "keyboard"' &&
        break
    sleep 0.1
done
tool_ins=$(instructions_of "$session/mediakey" PLAYPAUSK)
peer_ins=$(instructions_of "$wtype" -k XF86AudioPlay)
timed 10 "$session/mediakey" PLAYPAUSK >/dev/null
measure "$rounds"
summary "a keyboard on the seat" 0.7 || status=1
exit $status
