# Run by udev for a new node ($DEVNAME): evtest reads it at once, as a hotkey
# daemon handed the node does, and appends its key events to /tmp/handed as
# "press 164", "release 164".
setsid stdbuf -oL evtest "$DEVNAME" </dev/null 2>/dev/null |
    sed -nu 's/.*(EV_KEY), code \([0-9]*\) .*, value 1$/press \1/p
        s/.*(EV_KEY), code \([0-9]*\) .*, value 0$/release \1/p
        s/.*(EV_KEY), code \([0-9]*\) .*, value 2$/repeat \1/p' >>/tmp/handed 2>/dev/null &
sleep 0.15
