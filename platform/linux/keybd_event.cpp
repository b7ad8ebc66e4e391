#include "key_args.h"
#include "keyboard.h"
#include "press.h"

#include <X11/XF86keysym.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/input-event-codes.h>
#include <unistd.h>

const LinuxKey linuxKeys[] = {
    {VK_MEDIA_PLAY_PAUSE, "XF86AudioPlay", XF86XK_AudioPlay, KEY_PLAYPAUSE},
    {VK_MEDIA_STOP, "XF86AudioStop", XF86XK_AudioStop, KEY_STOPCD},
    {VK_MEDIA_NEXT_TRACK, "XF86AudioNext", XF86XK_AudioNext, KEY_NEXTSONG},
    {VK_MEDIA_PREV_TRACK, "XF86AudioPrev", XF86XK_AudioPrev, KEY_PREVIOUSSONG},
    {VK_VOLUME_UP, "XF86AudioRaiseVolume", XF86XK_AudioRaiseVolume, KEY_VOLUMEUP},
    {VK_VOLUME_DOWN, "XF86AudioLowerVolume", XF86XK_AudioLowerVolume, KEY_VOLUMEDOWN},
    {VK_VOLUME_MUTE, "XF86AudioMute", XF86XK_AudioMute, KEY_MUTE},
};
const size_t linuxKeyCount = sizeof linuxKeys / sizeof linuxKeys[0];

namespace {

/* Why the key could not go through uinput, and what to do about it. */
const char *const uinputFailures[] = {
    /* UINPUT_PRESSED */ "",
    /* UINPUT_MISSING */ "/dev/uinput is missing; load the uinput module (modprobe uinput)",
    /* UINPUT_DENIED */
    "this user may not open /dev/uinput; run it in the active desktop session, with the udev "
    "rule that grants the node there (KERNEL==\"uinput\", SUBSYSTEM==\"misc\", "
    "TAG+=\"uaccess\", OPTIONS+=\"static_node=uinput\"; the mediakey package installs it)",
    /* UINPUT_REFUSED */ "the kernel refused the uinput keyboard or its key events",
    /* UINPUT_NO_NODE */
    "the kernel made no event node for the uinput keyboard; load the evdev module "
    "(modprobe evdev)",
    /* UINPUT_NO_READER */
    "no program read keyboard input within 2 seconds; run it in a desktop session",
    /* UINPUT_NO_WATCH */
    "this user may not read the event node of the uinput keyboard, so a reader's read of its "
    "key cannot be seen; grant the session's user that node too with the udev rule "
    "(SUBSYSTEM==\"input\", KERNEL==\"event*\", ATTRS{name}==\"mediakey\", TAG+=\"uaccess\"; "
    "the mediakey package installs it)",
    /* UINPUT_BUSY */
    "other presses kept /dev/uinput busy for 50 seconds; press again once they are done",
    /* UINPUT_KEEPER_LOST */
    "the process that kept the uinput keyboard took the key but ended or stopped answering; press "
    "again",
    /* UINPUT_STUCK */
    "programs that read keyboard input took the uinput keyboard but had not read the key within "
    "20 seconds; the machine is too busy, press again",
};

/* A variable set to the empty string names no display. */
bool isSet(const char *name) {
    const char *value = getenv(name);
    return value && *value;
}

[[noreturn]] void cannotPress(const char *why, const char *detail = "") {
    fprintf(stderr, "mediakey: cannot press: %s%s\n", why, detail);
    exit(STATUS_CANNOT_PRESS);
}

/* What the line of a failure calls the display that was tried, with where
 * it came from, and the line itself. */
char subject[3 * sizeof(sockaddr_un::sun_path) + 64];
char line[sizeof subject + 4096 + 96];

/* The line, said of the display that was tried: format takes subject, then
 * detail. */
const char *say(const char *format, const char *detail = "") {
    snprintf(line, sizeof line, format, subject, detail);
    return line;
}

/* A line as said of the display the caller named, which starts with named:
 * said of the display tried. */
const char *sayOf(const char *callersLine, const char *named) {
    snprintf(line, sizeof line, "%s%s", subject, callersLine + strlen(named));
    return line;
}

/* Tries the Wayland compositor's virtual keyboard.  Returns nullptr once the
 * key is pressed, else why it was not the way, as tryX11 does. */
const char *tryWayland(const LinuxKey &key, DisplayOrigin origin) {
    switch (pressWayland(key, origin)) {
    case WAYLAND_PRESSED:
        return nullptr;
    case WAYLAND_UNREACHABLE:
        return sayOf("the Wayland display in WAYLAND_DISPLAY does not answer, and ", WAYLAND_NAMED);
    case WAYLAND_NOT_OWN:
        return say("%s belongs to another user, and ");
    case WAYLAND_NO_KEYBOARD:
        return "the Wayland compositor offers no virtual keyboard, and ";
    case WAYLAND_NOT_ADMITTED:
        return "KWin offers its fake input only to programs that a .desktop file names, and ";
    case WAYLAND_REFUSED:
        return "the Wayland compositor refused a virtual keyboard, and ";
    case WAYLAND_NO_KEYMAP:
        return "no keymap file could be made for the Wayland compositor, and ";
    case WAYLAND_NO_ANSWER:
        cannotPress(sayOf("the Wayland display in WAYLAND_DISPLAY did not answer within 2 "
                          "seconds; check that its compositor is running",
                          WAYLAND_NAMED));
    case WAYLAND_FAILED:
        break;
    }
    cannotPress("the Wayland compositor refused the key press or closed the connection");
}

/* Tries mutter's remote-desktop session after the compositor offered no
 * way of its own.  Returns nullptr once the key is pressed, else why no way
 * under Wayland pressed: mutter's reason where it refused, else the
 * compositor's, since a session bus without mutter is no GNOME. */
const char *tryMutter(const LinuxKey &key, const char *compositorReason) {
    switch (pressMutter(key)) {
    case MUTTER_PRESSED:
        return nullptr;
    case MUTTER_NO_BUS:
    case MUTTER_ABSENT:
        return compositorReason;
    case MUTTER_REFUSED:
        return "mutter refused a remote-desktop session on the session bus, and ";
    case MUTTER_NO_ANSWER:
        return "the session bus or mutter on it did not answer within 2 seconds, and ";
    case MUTTER_NO_ANSWER_AFTER_KEY:
        cannotPress("mutter did not answer on the session bus within 2 seconds; check that "
                    "GNOME is running");
    case MUTTER_FAILED:
        break;
    }
    cannotPress("mutter refused the key press or the session bus closed the connection");
}

/* GNOME shows its remote-access indicator while a remote-desktop session
 * runs, as if someone took the desktop over; where the session's user may
 * press through uinput, a press does not pass for that. */
bool uinputGranted() {
    return access("/dev/uinput", W_OK) == 0;
}

/* Where a cookie for a display that the caller did not name is read from. */
const char *cookieFile() {
    static char path[4096];
    if (isSet("XAUTHORITY"))
        return getenv("XAUTHORITY");
    snprintf(path, sizeof path, "%s/.Xauthority", isSet("HOME") ? getenv("HOME") : "~");
    return path;
}

/* Tries X11 where it is the way: the X server server, or DISPLAY's where it
 * is -1.  Returns nullptr once the key is pressed, else why X11 was not the
 * way, as the start of the line that uinput's failure would end. */
const char *tryX11(const LinuxKey &key, long server) {
    if (server < 0 && !isSet("DISPLAY"))
        return "DISPLAY is not set, and ";
    switch (pressX11(key, server, subject)) {
    case X11_PRESSED:
        return nullptr;
    case X11_UNREACHABLE:
        return sayOf("the X display in DISPLAY does not answer, and ", X11_NAMED);
    case X11_REFUSED:
        if (server < 0)
            return "the X server in DISPLAY refused the connection (check XAUTHORITY), and ";
        return say("%s refused the connection (check its cookie in %s), and ", cookieFile());
    case X11_NOT_OWN:
        return say("%s belongs to another user, and ");
    case X11_NO_XTEST:
        return "the X server lacks the XTEST extension, and ";
    case X11_NO_KEY:
        cannotPress("no key of the X keyboard map gives ", key.keysymName);
    case X11_FAILED:
        break;
    }
    cannotPress("the X server refused the key press or closed the connection");
}

/* Names a display found for the run as the line of a failure does: what
 * was found where, and by whom. */
void describe(const OwnDisplay &found, const char *runtimeDir) {
    static const char *const by[] = {
        /* ORIGIN_CALLER */ "",
        /* ORIGIN_MANAGER */ "the user's service manager names",
        /* ORIGIN_LOGIND */ "logind's record of the session names",
        /* ORIGIN_SEARCH */ "the search found",
    };
    bool searched = found.origin == ORIGIN_SEARCH;
    char place[sizeof(sockaddr_un::sun_path) + 8];
    sockaddr_un address = {};
    if (found.xServer >= 0 && xServerSocket(found.xServer, address)) {
        snprintf(place, sizeof place, searched ? "at %s" : "(%s)", address.sun_path);
        snprintf(subject, sizeof subject, "the X display :%ld that %s %s", found.xServer,
                 by[found.origin], place);
    } else {
        snprintf(place, sizeof place, searched ? "in %s" : "(in %s)", runtimeDir);
        snprintf(subject, sizeof subject, "the Wayland display %s that %s %s",
                 getenv("WAYLAND_DISPLAY"), by[found.origin], place);
    }
}

/* Under Wayland the compositor's virtual keyboard or KWin's fake input,
 * where it offers one, else mutter's session where uinput is not granted;
 * XTEST through XWayland would reach only XWayland's own clients, never the
 * compositor that handles media keys.  Otherwise X11 when there is a display
 * that answers with XTEST.  Failing those, uinput, which reaches Wayland
 * compositors, X servers and the console alike. */
void pressKey(const LinuxKey &key) {
    const char *notThere = nullptr;
    OwnDisplay found = {ORIGIN_CALLER, -1};
    char runtimeDir[sizeof(sockaddr_un::sun_path)];
    bool wayland = isSet("WAYLAND_DISPLAY");
    snprintf(subject, sizeof subject, "%s", wayland ? WAYLAND_NAMED : X11_NAMED);
    /* A run outside the session looks for its user's desktop; root's never
     * was one, and keeps to uinput. */
    if (!wayland && !isSet("DISPLAY") && getuid() != 0) {
        if (findOwnDesktop(found, runtimeDir, sizeof runtimeDir)) {
            wayland = found.xServer < 0;
            describe(found, runtimeDir);
        } else {
            snprintf(line, sizeof line, "no Wayland or X11 display of this user in %s, and ",
                     runtimeDir);
            notThere = line;
        }
    }
    if (!notThere && wayland) {
        notThere = tryWayland(key, found.origin);
        if (notThere && !uinputGranted())
            notThere = tryMutter(key, notThere);
    } else if (!notThere) {
        notThere = tryX11(key, found.xServer);
    }
    if (!notThere)
        return;
    UinputOutcome outcome = pressUinput(key);
    if (outcome != UINPUT_PRESSED)
        cannotPress(notThere, uinputFailures[outcome]);
}

} // namespace

/* Linux presses a whole keystroke, the press and then its release: a press
 * alone would leave the key held until something released it.  The scan code
 * and flags are those of Windows and have no counterpart here. */
void keybd_event(BYTE bVk, BYTE, DWORD, ULONG_PTR) {
    for (const LinuxKey &key : linuxKeys)
        if (key.virtualKey == bVk)
            return pressKey(key);
    cannotPress("no Linux key stands for this virtual key");
}
