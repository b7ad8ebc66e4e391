#!/usr/bin/env bash
# One press through a Wayland compositor's virtual keyboard: `mediakey
# PLAYPAUSK` against the peer `wtype -k XF86AudioPlay`, as an ordinary user
# (nobody when run as root; sway refuses root), in rounds of 20 presses each
# taken in turn.  bench/fired_timer times each press from its start until a
# file grew, so that compositor work a program leaves behind is charged to
# it.  COMPOSITOR picks one of the table below: sway (the default) on this
# machine, or labwc, which Debian 12 lacks, in the Debian 13 root of
# tests/vm/debian_root.sh, where this script runs itself again through
# tests/vm/in_root.sh.  Two clocks, each on a compositor of its own:
# - binding fired: the compositor binds the key to a command that appends to
#   a file, and so forks for every press, a cost common to every client.
#   First on a seat with no keyboard, where mediakey gives the clients time
#   to take up its own (labwc goes on telling of a keyboard once one came,
#   so there only the first warm-up press waits); then as on a desktop,
#   with a keyboard held on the seat (a virtual one, sleeping) and wev
#   focused.  Both are reported only.
# - key-up read: as on a desktop, with nothing bound to the key, so that it
#   goes to the focused wev; the clock stops once wev has printed its release.
#   mediakey's median wall time per press on this clock must be at most 0.7
#   of wtype's.
# Instructions of the client process come from callgrind, where valgrind is
# (not in the root).  Exits 1 unless that bound holds and every press of
# every part arrived.
set -euo pipefail
cd "$(dirname "$0")/.."

compositor=${COMPOSITOR:-sway}
# The Debian root each compositor runs in; none: this machine.
declare -A root_of=([sway]="" [labwc]=trixie)
[ -n "${root_of[$compositor]+set}" ] ||
    { echo "COMPOSITOR: no compositor '$compositor' (sway or labwc)" >&2; exit 2; }
if [ -z "${MEDIAKEY_BENCH_IN_ROOT:-}" ]; then
    . bench/common.sh wayland
    # What the session runs, where a root finds it too: the root has no wtype
    # of its own, but has the libraries of this machine's.
    mkdir -p "$work/wayland"
    cp build/default/mediakey "$(command -v wtype)" "$work/wayland/"
    g++ -O2 -static -o "$work/wayland/fired_timer" bench/fired_timer.cpp
    release=${root_of[$compositor]}
    if [ -n "$release" ]; then
        root=build/default/tests/vm/debian-$release
        bash tests/vm/debian_root.sh "$root" "$(dpkg --print-architecture)" input "$release"
        MEDIAKEY_BENCH_IN_ROOT=1 exec bash tests/vm/in_root.sh "$root/root" build/default \
            bash bench/press_wayland.sh
    fi
else
    work=build/bench
fi
rounds=${ROUNDS:-10}
per_round=20

as_user=()
[ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
# The runtime directory of that user, mode 0700, holding everything it runs:
# the checkout may sit where it cannot read.
session=$(mktemp -d /tmp/mediakey-bench.XXXXXX)
cp "$work"/wayland/{mediakey,wtype,fired_timer} "$session/"
chmod 0700 "$session"

# Each writes its configuration into the session, which appends "ready" to
# fired once the compositor runs and, given "bind", binds the key to append
# "fired" there; and sets the command that starts the compositor.
sway_config() {
    {
        echo "xwayland disable"
        [ "$1" != bind ] || echo "bindsym XF86AudioPlay exec echo fired >>$session/fired"
        echo "exec echo ready >>$session/fired"
    } >"$session/sway.conf"
    command=(sway -c "$session/sway.conf")
}
# labwc binds its defaults, the volume keys among them, where no key is
# bound: without the binding, one key nobody presses does nothing.
labwc_config() {
    local keybind='<keybind key="W-F12"><action name="None"/></keybind>'
    [ "$1" != bind ] || keybind="<keybind key=\"XF86AudioPlay\"><action name=\"Execute\" \
command=\"sh -c 'echo fired >>$session/fired'\"/></keybind>"
    mkdir -p "$session/labwc"
    echo "<?xml version=\"1.0\"?><labwc_config><keyboard>$keybind</keyboard></labwc_config>" \
        >"$session/labwc/rc.xml"
    echo "echo ready >>$session/fired" >"$session/labwc/autostart"
    command=(labwc -C "$session/labwc")
}

# Commands, not functions, so that what runs in the background is the
# process that the kill of its id stops.
in_session=(env -i PATH=/usr/bin:/bin HOME="$session" XDG_RUNTIME_DIR="$session")
client=()
pids=()
stop() {
    [ ${#pids[@]} -eq 0 ] || { kill "${pids[@]}" 2>/dev/null || true; wait "${pids[@]}" || true; }
    pids=()
}
trap 'stop; rm -rf "$session"' EXIT

# A compositor of its own for each clock; given "bind", the key is bound.
start() {
    stop
    "${compositor}_config" "$1"
    : >"$session/fired"
    : >"$session/keyup"
    [ ${#as_user[@]} -eq 0 ] || chown -R nobody:nogroup "$session"
    "${in_session[@]}" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        "${as_user[@]}" "${command[@]}" >>"$work/press_wayland_$compositor.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 200); do
        grep -qs ready "$session/fired" && break
        sleep 0.1
    done
    grep -qs ready "$session/fired" || { echo "$compositor did not start" >&2; exit 1; }
    display=$(cd "$session" && ls wayland-* | grep -v lock | head -1)
    client=("${in_session[@]}" WAYLAND_DISPLAY="$display" "${as_user[@]}")
}
# As on a desktop: a keyboard held on the seat for the rest of the
# compositor's run, and wev focused, whose releases of the key are appended
# to keyup (line by line, as they come).  Waits until wev has the focus.
desktop() {
    "${client[@]}" "$session/wtype" -s 600000 &
    pids+=($!)
    "${client[@]}" stdbuf -oL wev > >(tee "$session/wev.log" |
        grep --line-buffered -A1 'state: 0 (released)' |
        grep --line-buffered 'sym: XF86AudioPlay' >>"$session/keyup") 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        grep -qs 'wl_keyboard] enter' "$session/wev.log" && return
        sleep 0.1
    done
    echo "wev did not get the keyboard's focus on $compositor" >&2
    exit 1
}

instructions_of() {
    command -v valgrind >/dev/null || return 0
    { "${client[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 \
        >/dev/null || true; } | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
# Presses of one program until FILE grew: timed FILE PROGRAM ARG...
timed() {
    "${client[@]}" "$session/fired_timer" "$per_round" "$session/$1" "$session/$2" "${@:3}"
}
warm_up() {
    timed "$1" mediakey PLAYPAUSK >/dev/null
    timed "$1" wtype -k XF86AudioPlay >/dev/null
}
# Rounds in turn, so that whatever else the machine does weighs on both.
measure() {
    : >"$work/press_wayland.times"
    for _ in $(seq "$1"); do
        timed "$2" mediakey PLAYPAUSK | sed 's/^/mediakey /' >>"$work/press_wayland.times"
        timed "$2" wtype -k XF86AudioPlay | sed 's/^/wtype /' >>"$work/press_wayland.times"
    done
}
# The table of one part; with a bound, exits 1 unless mediakey's median ratio
# is within it.  Every press must have arrived in any case.
summary() {
    sort -k1,1 -k2,2n "$work/press_wayland.times" | awk -v title="$1" -v bound="${2:-}" \
        -v tool_ins="${tool_ins:-0}" -v peer_ins="${peer_ins:-0}" '
    { n[$1]++; t[$1, n[$1]] = $2; sum[$1] += $2; if ($3 != "missed") arrived[$1]++ }
    function median(k) { return n[k] % 2 ? t[k, (n[k] + 1) / 2] : (t[k, n[k] / 2] + t[k, n[k] / 2 + 1]) / 2 }
    function row(name, k, ins) {
        printf "%-26s %12s %9.2f %9.2f %9.2f %9.2f %7d/%d\n", name, ins ? ins : "-", median(k),
            sum[k] / n[k], t[k, 1], t[k, n[k]], arrived[k], n[k]
    }
    END {
        printf "%s\n%-26s %12s %9s %9s %9s %9s %9s\n", title, "per press (ms)", "instructions",
            "median", "mean", "min", "max", "arrived"
        row("mediakey PLAYPAUSK", "mediakey", tool_ins)
        row("wtype -k XF86AudioPlay", "wtype", peer_ins)
        ratio = median("mediakey") / median("wtype")
        printf "wall time per press (ms): median ratio %.3f, mean ratio %.3f", ratio,
            (sum["mediakey"] / n["mediakey"]) / (sum["wtype"] / n["wtype"])
        if (tool_ins && peer_ins)
            printf "; instructions ratio %.3f", tool_ins / peer_ins
        printf "\n"
        ok = arrived["mediakey"] == n["mediakey"] && arrived["wtype"] == n["wtype"]
        if (bound != "") {
            printf "target: median ratio at most %s, every press arrived\n", bound
            ok = ok && ratio <= bound
        } else {
            printf "target: every press arrived\n"
        }
        exit !ok
    }'
}

echo "$compositor, load average $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
start bind
warm_up fired
measure "${SEATLESS_ROUNDS:-3}" fired
summary "$compositor, binding fired, no keyboard on the seat" || status=1
echo

desktop
tool_ins=$(instructions_of "$session/mediakey" PLAYPAUSK)
peer_ins=$(instructions_of "$session/wtype" -k XF86AudioPlay)
warm_up fired
measure "$rounds" fired
summary "$compositor, binding fired, a keyboard on the seat" || status=1
echo

start none
desktop
warm_up keyup
measure "$rounds" keyup
summary "$compositor, key-up read, a keyboard on the seat" 0.7 || status=1
echo "$compositor, load average $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
