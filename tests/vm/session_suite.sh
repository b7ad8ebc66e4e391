# Runs inside the session VM as root, from a systemd unit, once the user
# "desktop" is logged in on tty1: the package's grant of /dev/uinput to the
# active session, presses seen by libinput, another user refused, purge and
# reinstall.  Prints "vm: exit N" at the end.
deb=/suite/mediakey.deb
session=/run/mediakey-session
failures=0
step=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs a command line in the tty1 session; sets out, err and status.
in_session() {
    step=$((step + 1))
    echo "$*" >"$session/$step.tmp"
    mv "$session/$step.tmp" "$session/$step.cmd"
    for _ in $(seq 200); do
        [ -e "$session/$step.status" ] && break
        sleep 0.05
    done
    out=$(cat "$session/$step.out" 2>/dev/null; echo .)
    out=${out%.}
    err=$(cat "$session/$step.err" 2>/dev/null)
    status=$(cat "$session/$step.status" 2>/dev/null || echo "no answer")
}

# libinput as root, finding devices through udev as compositors do; ready
# once it has listed the devices there are.
start_libinput() {
    libinput debug-events --show-keycodes >/tmp/libinput.log 2>&1 &
    reader=$!
    for _ in $(seq 100); do
        grep -q DEVICE_ADDED /tmp/libinput.log && break
        sleep 0.1
    done
}

acl_names() {
    getfacl -cp /dev/uinput 2>/dev/null | grep -q "^user:$1:rw"
}

expect_refused() {
    [ "$status" = 3 ] && [ -z "$out" ] &&
        echo "$err" | grep -q '^mediakey: cannot press: no Wayland or X11 display of this user in /run/user/[0-9]*, and this user may not open /dev/uinput; ' ||
        fail "$1: status $status, stdout '$out', stderr '$err'"
}

# The session: logind makes the tty1 login the active session of seat0.
mkdir -p "$session"
chown desktop "$session"
for _ in $(seq 600); do
    active=$(loginctl show-seat seat0 -p ActiveSession --value 2>/dev/null)
    [ -n "$active" ] && [ "$(loginctl show-session "$active" -p Name --value)" = desktop ] && break
    sleep 0.1
done
echo "session: $active of $(loginctl show-session "$active" -p Name --value 2>/dev/null), tty $(loginctl show-session "$active" -p TTY --value 2>/dev/null), $(cut -d' ' -f1 /proc/uptime) s after boot"
in_session 'loginctl show-session "$XDG_SESSION_ID" -p Active --value; id -Gn'
[ "$out" = "yes
desktop
" ] || fail "the session's shell is not in the active session or has groups: '$out' $err"

# With the package installed before boot, the grant is there.
acl_names desktop || fail "getfacl /dev/uinput does not name desktop: $(getfacl -p /dev/uinput 2>&1)"
acl_names other && fail "getfacl /dev/uinput names other"

# Each media code from the session, as libinput sees it through udev.
codes="PLAYPAUSK:KEY_PLAYPAUSE STOP0000K:KEY_STOPCD NEXT0000K:KEY_NEXTSONG PREV0000K:KEY_PREVIOUSSONG
VOLUP000K:KEY_VOLUMEUP VOLDOWN0K:KEY_VOLUMEDOWN VOLMUTE0K:KEY_MUTE"
start_libinput
expected=""
for pair in $codes; do
    code=${pair%%:*}
    key=${pair#*:}
    in_session "mediakey $code"
    [ "$status" = 0 ] && [ "$out" = "Invoked key '$code'.
" ] && [ -z "$err" ] || fail "$code in the session: status $status, stdout '$out', stderr '$err'"
    expected="$expected$key pressed
$key released
"
done
sleep 0.5
kill "$reader"
wait "$reader" 2>/dev/null
seen=$(sed -n 's/.*KEYBOARD_KEY.*[[:space:]]\(KEY_[A-Z]*\) ([0-9]*) \(pressed\|released\).*/\1 \2/p' \
    /tmp/libinput.log)
[ "$seen
" = "$expected" ] || fail "libinput saw: $seen"
# One keyboard: the first run's keeper pressed the others' keys.
devices=$(grep -c 'DEVICE_ADDED.* mediakey ' /tmp/libinput.log)
[ "$devices" = 1 ] || fail "libinput saw $devices mediakey devices, want 1"

# The keeper of a user who loses the grant, as logind takes it from a session
# that is no longer active, quits with its keyboard; the next run is refused.
kept='ls "$XDG_RUNTIME_DIR"; grep -lx mediakey /sys/class/input/*/name'
start_libinput
in_session "mediakey VOLUP000K >/dev/null && $kept"
echo "$out" | grep -qx mediakey-uinput && echo "$out" | grep -q /name ||
    fail "no keeper after a press: status $status, '$out', '$err'"
setfacl -x u:desktop /dev/uinput
sleep 0.5
in_session "$kept"
echo "$out" | grep -q 'mediakey-uinput\|/name' && fail "the keeper outlived the grant: '$out' $(cat /tmp/keeper.log)"
in_session "mediakey VOLUP000K"
expect_refused "the session's user once the grant went"
setfacl -m u:desktop:rw /dev/uinput
kill "$reader"
wait "$reader" 2>/dev/null

# Outside the session, as an SSH login of the session's user starts it, the
# compositor that the user's service manager names gets the key, also where
# another of the user's sorts first; where it names none, the search's first.
outside() {
    runuser -u desktop -- env -i HOME=/home/desktop PATH=/usr/bin:/bin USER=desktop \
        LOGNAME=desktop SHELL=/bin/sh XDG_RUNTIME_DIR=/run/user/1000 mediakey PLAYPAUSK >/tmp/out 2>&1
    status=$?
}
rm -f /tmp/fired
sockets=""
for n in 1 2; do
    printf 'xwayland disable\nbindsym XF86AudioPlay exec echo %s >>/tmp/fired\nexec touch /tmp/sway-%s.ready\n' \
        "$n" "$n" >/tmp/sway-$n.conf
    before=$(ls /run/user/1000 | grep -x 'wayland-[0-9]*')
    in_session "WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c /tmp/sway-$n.conf >/tmp/sway-$n.log 2>&1 &"
    for _ in $(seq 300); do
        [ -e /tmp/sway-$n.ready ] && break
        sleep 0.1
    done
    sockets="$sockets $(ls /run/user/1000 | grep -x 'wayland-[0-9]*' | grep -vxF "$before")"
done
set -- $sockets
first=${1:-} second=${2:-}
[ -n "$second" ] && [ "$(printf '%s\n' "$first" "$second" | sort | head -n 1)" = "$first" ] ||
    fail "two compositors of the user: sockets '$sockets', $(cat /tmp/sway-*.log)"
in_session "systemctl --user set-environment WAYLAND_DISPLAY=$second"
outside
[ "$status" = 0 ] && sleep 0.5 && [ "$(cat /tmp/fired 2>/dev/null)" = 2 ] ||
    fail "the manager's $second: status $status, '$(cat /tmp/out)', fired '$(cat /tmp/fired 2>/dev/null)'"
in_session "systemctl --user unset-environment WAYLAND_DISPLAY"
rm -f /tmp/fired
outside
[ "$status" = 0 ] && sleep 0.5 && [ "$(cat /tmp/fired 2>/dev/null)" = 1 ] ||
    fail "the search's $first: status $status, '$(cat /tmp/out)', fired '$(cat /tmp/fired 2>/dev/null)'"
pkill -u desktop -x sway

# Another user, outside that session, is refused.
runuser -u other -- mediakey PLAYPAUSK >/tmp/out 2>/tmp/err
status=$?
out=$(cat /tmp/out)
err=$(cat /tmp/err)
expect_refused "another user"

# Purge: the grant goes and no file of the package stays.  The same program,
# kept aside, is then refused in the session.
cp /usr/bin/mediakey /tmp/mediakey
files=$(dpkg -L mediakey | while read -r f; do [ -f "$f" ] && echo "$f"; done)
apt-get purge -y -q mediakey >/tmp/apt.log 2>&1 || fail "purge: $(cat /tmp/apt.log)"
acl_names desktop && fail "after purge getfacl /dev/uinput still names desktop: $(getfacl -p /dev/uinput)"
for f in $files; do
    [ -e "$f" ] && fail "after purge $f is left"
done
dpkg-query -W mediakey >/dev/null 2>&1 && fail "after purge dpkg still knows mediakey"
in_session "/tmp/mediakey PLAYPAUSK"
expect_refused "the session's user without the package"

# Installed while the user is logged in, the grant comes at once, also where
# the module is not loaded yet.
rmmod uinput || fail "uinput stays loaded"
apt-get install -y -q "$deb" >/tmp/apt.log 2>&1 || fail "install: $(cat /tmp/apt.log)"
acl_names desktop || fail "after install getfacl /dev/uinput does not name desktop: $(getfacl -p /dev/uinput)"
start_libinput
in_session "mediakey VOLMUTE0K"
[ "$status" = 0 ] || fail "after install the press in the session: status $status, stderr '$err'"
sleep 0.5
kill "$reader"
grep -q 'KEY_MUTE (113) released' /tmp/libinput.log || fail "after install libinput saw no mute"

echo "session suite: $failures failures, $(cut -d' ' -f1 /proc/uptime) s after boot"
echo "vm: exit $((failures > 0))"
