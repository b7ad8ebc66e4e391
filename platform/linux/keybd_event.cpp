#include "key_args.h"
#include "keyboard.h"
#include "press.h"

#include <X11/XF86keysym.h>
#include <cstdio>
#include <cstdlib>
#include <linux/input-event-codes.h>

namespace {

const LinuxKey linuxKeys[] = {
    {VK_MEDIA_PLAY_PAUSE, "XF86AudioPlay", XF86XK_AudioPlay, KEY_PLAYPAUSE},
    {VK_MEDIA_STOP, "XF86AudioStop", XF86XK_AudioStop, KEY_STOPCD},
    {VK_MEDIA_NEXT_TRACK, "XF86AudioNext", XF86XK_AudioNext, KEY_NEXTSONG},
    {VK_MEDIA_PREV_TRACK, "XF86AudioPrev", XF86XK_AudioPrev, KEY_PREVIOUSSONG},
    {VK_VOLUME_UP, "XF86AudioRaiseVolume", XF86XK_AudioRaiseVolume, KEY_VOLUMEUP},
    {VK_VOLUME_DOWN, "XF86AudioLowerVolume", XF86XK_AudioLowerVolume, KEY_VOLUMEDOWN},
    {VK_VOLUME_MUTE, "XF86AudioMute", XF86XK_AudioMute, KEY_MUTE},
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

} // namespace

/* Linux presses a whole keystroke, the press and then its release: a press
 * alone would leave the key held until something released it.  The scan code
 * and flags are those of Windows and have no counterpart here. */
void keybd_event(BYTE bVk, BYTE, DWORD, ULONG_PTR) {
    const LinuxKey *key = nullptr;
    for (const LinuxKey &row : linuxKeys)
        if (row.virtualKey == bVk)
            key = &row;
    if (!key)
        cannotPress("no Linux key stands for this virtual key");

    /* XTEST through XWayland reaches only XWayland's own clients, never the
     * compositor that handles media keys. */
    if (isSet("WAYLAND_DISPLAY"))
        cannotPress("this is a Wayland session, where X11 cannot reach the media keys");
    if (!isSet("DISPLAY"))
        cannotPress("DISPLAY is not set; run it in an X11 session or set DISPLAY to one");

    switch (pressX11(*key)) {
    case X11_PRESSED:
        return;
    case X11_UNREACHABLE:
        cannotPress("the X display in DISPLAY does not answer; check DISPLAY and its X server");
    case X11_NO_XTEST:
        cannotPress("the X server lacks the XTEST extension; enable XTEST in its configuration");
    case X11_NO_KEY:
        cannotPress("no key of the X keyboard map gives ", key->keysymName);
    case X11_FAILED:
        break;
    }
    cannotPress("the X server refused the key press or closed the connection");
}
