# Run by udev for a new node ($DEVNAME): evtest reads it at once, as a hotkey
# daemon handed the node does, and appends its key events to /tmp/handed as
# "press 164", "release 164".  evtest's first line says it has the node: udev
# is kept busy until then (its start took over 150 ms in Debian 13's VM), so
# that it broadcasts the device only after.
opened=/tmp/handed-${DEVNAME##*/}
rm -f "$opened"
setsid stdbuf -oL evtest "$DEVNAME" </dev/null 2>/dev/null | {
    read -r _ && : >"$opened"
    sed -nu 's/.*(EV_KEY), code \([0-9]*\) .*, value 1$/press \1/p
        s/.*(EV_KEY), code \([0-9]*\) .*, value 0$/release \1/p
        s/.*(EV_KEY), code \([0-9]*\) .*, value 2$/repeat \1/p'
} >>/tmp/handed 2>/dev/null &
for _ in $(seq 200); do
    [ -e "$opened" ] && break
    sleep 0.01
done
