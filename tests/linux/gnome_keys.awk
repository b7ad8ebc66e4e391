# Reads dbus-monitor's account of gsd-media-keys and gnome-shell, and appends
# to the file `fired` the keysym of each volume key that went down, then
# "ready" once gsd holds every media key and has looked at the player.

function field(name,    i) {
    for (i = 1; i <= NF; i++)
        if (index($i, name "=") == 1)
            return substr($i, length(name) + 2)
    return ""
}

function report(line) {
    print line >>fired
    fflush(fired)
}

BEGIN {
    split("XF86AudioPlay XF86AudioStop XF86AudioNext XF86AudioPrev", media, " ")
    split("XF86AudioRaiseVolume XF86AudioLowerVolume XF86AudioMute", volume, " ")
    for (i in volume)
        isVolume[volume[i]] = 1
}

# Each message starts unindented; its arguments follow indented.
/^[a-z]/ {
    state = ""
    sub(/;/, "")
}

/^method call .* member=GrabAccelerators$/ {
    grabber = field("sender")
    grabSerial = field("serial")
    accelerators = 0
    state = "grab"
    next
}
state == "grab" && $1 == "string" {
    accelerator[++accelerators] = $2
    gsub(/"/, "", accelerator[accelerators])
    next
}
/^method return / && field("destination") == grabber && field("reply_serial") == grabSerial {
    ids = 0
    state = "ids"
    next
}
state == "ids" && $1 == "uint32" {
    name = accelerator[++ids]
    grabbed[name] = 1
    if (name in isVolume)
        keysym[$2] = name
    next
}

/^method call .* member=GetAll$/ {
    looked[field("sender")] = 1
    next
}

/^signal .* member=AcceleratorActivated$/ {
    state = "activated"
    next
}
state == "activated" && $1 == "uint32" {
    if ($2 in keysym)
        report(keysym[$2])
    state = ""
    next
}

!announced && grabber in looked {
    ready = 1
    for (i in media)
        if (!(media[i] in grabbed))
            ready = 0
    for (i in volume)
        if (!(volume[i] in grabbed))
            ready = 0
    if (ready) {
        announced = 1
        report("ready")
    }
}
