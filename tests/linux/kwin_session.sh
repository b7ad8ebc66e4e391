#!/usr/bin/env bash
# KWin headless as a Plasma session runs it, for the Wayland suite: a session
# bus at DIR/bus, where programs look without DBUS_SESSION_BUS_ADDRESS, KWin
# on DIR/wayland-kwin with its built-in global shortcuts, and, with BINDINGS
# 1, a shortcut of a component of our own on each media key, whose presses
# kglobalaccel announces on the bus and a monitor appends to DIR/fired.
# Appends "ready" there once a press would be seen.  DIR/mediakey is the one
# program that KWin lets use its fake input.
# Usage: tests/linux/kwin_session.sh DIR BINDINGS   (the session's user; ends
# on SIGTERM with everything it started)
set -euo pipefail
# A group of our own, so that one signal takes every process started here,
# the bus's activated services among them.
read -r -a stat </proc/$$/stat
[ "${stat[4]}" = $$ ] || exec setsid bash "$0" "$@"
dir=$1 bindings=$2
trap 'trap "" TERM; kill -TERM -- -$$; wait' TERM EXIT

# KWin takes the interfaces a client may bind from the .desktop file whose
# Exec names the client's executable, and finds such files only through
# KService's database, which lists the applications of the XDG menu: a bare
# root has no menu, so every client would be refused.
mkdir -p "$dir/.local/share/applications" "$dir/.config/menus"
# The least menu that lists them: the XDG directories, no entry shown.
echo '<Menu><Name>Applications</Name><DefaultAppDirs/></Menu>' >"$dir/.config/menus/applications.menu"
cat >"$dir/.local/share/applications/mediakey.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=mediakey
Exec=$dir/mediakey
NoDisplay=true
X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input
EOF

export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" &
until [ -S "$dir/bus" ]; do sleep 0.05; done
kwin_wayland --virtual --socket wayland-kwin --no-lockscreen &
kwin=$!
# kglobalaccel lives in KWin and comes on the bus after KWin's socket.  Asked
# of the bus, not of kglobalaccel, which the bus would start on its own where
# a service file names it (Plasma 5's).
until [ "$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.kglobalaccel)" = "(true,)" ]; do
    kill -0 $kwin
    sleep 0.1
done

# One action per keysym, named by it, on the Qt key KWin makes of it.
keys=(XF86AudioPlay 0x01000080 XF86AudioStop 0x01000081 XF86AudioNext 0x01000083
      XF86AudioPrev 0x01000082 XF86AudioRaiseVolume 0x01000072
      XF86AudioLowerVolume 0x01000070 XF86AudioMute 0x01000071)
[ "$bindings" = 1 ] || keys=()
# Actions without a key, invoked through the bus: "ready" proves the whole
# road from kglobalaccel to the fired file before anyone presses; "synced",
# for the suite, comes after every press KWin took before it was invoked.
keys+=(ready 0 synced 0)
call() {
    gdbus call --session --dest org.kde.kglobalaccel --object-path "$1" --method "$2" "${@:3}"
}
# Present (2) and not autoloaded (4): the keys given, not those remembered.
for ((i = 0; i < ${#keys[@]}; i += 2)); do
    id="['mediakey-suite', '${keys[i]}', 'mediakey-suite', '${keys[i]}']"
    call /kglobalaccel org.kde.KGlobalAccel.doRegister "$id" >/dev/null
    want="[$((keys[i + 1]))]"
    [ "${keys[i + 1]}" = 0 ] && want="@ai []"
    # kglobalaccel gives none where another action holds the key already.
    got=$(call /kglobalaccel org.kde.KGlobalAccel.setShortcut "$id" "$want" 6)
    [ "$got" = "($want,)" ] || { echo "kwin_session.sh: ${keys[i]} got $got" >&2; exit 1; }
done

# Asks kglobalaccel for the "ready" action once the monitor is one: the bus
# tells a monitor so by taking its name away.
dbus-monitor --session "type='signal',path='/component/mediakey_suite',member='globalShortcutPressed'" |
    while read -r line; do
        case $line in
        *member=NameLost*)
            call /component/mediakey_suite org.kde.kglobalaccel.Component.invokeShortcut ready >/dev/null ;;
        *member=globalShortcutPressed*)
            read -r _ && read -r _ action &&
            action=${action#\"} && echo "${action%\"}" >>"$dir/fired" ;;
        esac
    done &
wait
