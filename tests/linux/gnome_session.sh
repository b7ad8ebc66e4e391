#!/usr/bin/env bash
# Runs gnome-shell headless as an ordinary user's desktop, with its own
# session bus at DIR/bus, where the program looks for it.  With BINDINGS 1,
# gsd-media-keys takes the seven media keys as in a desktop session, and each
# press appends its keysym to DIR/fired: play, stop, next and previous as
# the suite's player took gsd's call, the volume keys as gnome-shell told gsd
# that the key went down (gsd changes no volume without a sound server).
# "ready" follows once a press would be seen.  SIGTERM ends it with every
# process it started.
# Usage: gnome_session.sh DIR BINDINGS
set -euo pipefail
# A process group of its own, which the end takes whole: the services that
# the bus starts on demand are no children of this script.
read -r -a stat </proc/$$/stat
[ "${stat[4]}" = $$ ] || exec setsid "$0" "$@"
dir=$1 bindings=$2
here=$(dirname "$(realpath "$0")")

# The members of this group but this shell, read without starting any.
others() {
    local stat rest fields
    for stat in /proc/[0-9]*/stat; do
        read -r rest 2>/dev/null <"$stat" || continue
        read -r -a fields <<<"${rest##*) }"
        [ "${fields[2]}" != $$ ] || [ "${stat//[^0-9]/}" = $$ ] || return 0
    done
    return 1
}
stop() {
    trap '' TERM
    kill -TERM 0 2>/dev/null || true
    for _ in {1..50}; do
        others || return 0
        sleep 0.1
    done
    kill -KILL 0
}
trap stop EXIT
trap 'exit 143' TERM INT

# A bare root has no system bus, and gnome-shell gives up without one
# (accounts, logind and polkit are asked there; none of them answers here,
# which it takes as a machine without them).
cat >"$dir/system.conf" <<CONF
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/>
  </policy>
</busconfig>
CONF
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/system_bus
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
# Defaults are all that is wanted, and dconf would start a service of its own.
export GSETTINGS_BACKEND=memory
# Each bus prints its address once it listens.
exec {system}< <(exec dbus-daemon --config-file="$dir/system.conf" --nofork --nopidfile \
    --print-address 2>"$dir/system-bus.log")
exec {session}< <(exec dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork \
    --nopidfile --print-address 2>"$dir/session-bus.log")
read -r -u "$system" _
read -r -u "$session" _

if [ "$bindings" = 1 ]; then
    # Watches from before gsd's grab: which action id gnome-shell gave each
    # volume key, gsd's look at the player, and each volume key gone down.
    dbus-monitor --session \
        "type='method_call',interface='org.gnome.Shell',member='GrabAccelerators'" \
        "type='method_return'" \
        "type='signal',interface='org.gnome.Shell',member='AcceleratorActivated'" \
        "type='method_call',member='GetAll',arg0='org.mpris.MediaPlayer2.Player'" |
        awk -W interactive -v fired="$dir/fired" -f "$here/gnome_keys.awk" &
    gjs "$here/mpris_player.js" "$dir/fired" mediakey >"$dir/player.log" 2>&1 &
    gdbus wait --session --timeout 10 org.mpris.MediaPlayer2.mediakey
fi

display=wayland-0
gnome-shell --wayland --headless --no-x11 --virtual-monitor 1280x720 --wayland-display "$display" \
    >"$dir/gnome-shell.log" 2>&1 &
shell=$!
# It takes no key until its start-up animation is over, which it tells
# only in its log.
until grep -q 'GNOME Shell started at' "$dir/gnome-shell.log"; do
    kill -0 "$shell"
    sleep 0.05
done
if [ "$bindings" = 1 ]; then
    WAYLAND_DISPLAY=$display /usr/libexec/gsd-media-keys >"$dir/gsd-media-keys.log" 2>&1 &
else
    echo ready >>"$dir/fired"
fi
wait "$shell"
