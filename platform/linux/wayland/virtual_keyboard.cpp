/* The press through the compositor's virtual keyboard: a keyboard of the
 * program's own on the first seat, with a keymap of the one key, confirmed
 * before any key goes out, and a turn among runs that press at once. */
#include "wayland.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace wayland {

namespace {

/* The requests, by interface. */
const uint16_t MANAGER_CREATE_VIRTUAL_KEYBOARD = 0;
const uint16_t KEYBOARD_KEYMAP = 0;
const uint16_t KEYBOARD_KEY = 1;
const uint16_t KEYBOARD_DESTROY = 3;

const uint32_t KEYMAP_FORMAT_XKB_V1 = 1;
/* XKB numbers keys 8 above the kernel's codes. */
const unsigned XKB_KEYCODE_OFFSET = 8;

void key(Requests &r, uint32_t time, uint16_t code, uint32_t state) {
    begin(r, WAYLAND_KEYBOARD_ID, KEYBOARD_KEY);
    put(r, time);
    put(r, code);
    put(r, state);
    end(r);
}

/* A keymap with nothing but the key, in XKB's text format: no includes, so
 * that it compiles without the compositor's XKB data files, and quickly. */
const char KEYMAP_TEXT[] = "xkb_keymap {\n"
                           "xkb_keycodes { minimum = 8; maximum = 255; <MEDIA> = %u; };\n"
                           "xkb_types { };\n"
                           "xkb_compatibility { };\n"
                           "xkb_symbols { key <MEDIA> { [ %s ] }; };\n"
                           "};\n";

/* The keymap in a sealed memory file, as the protocol asks: the compositor
 * maps it and may trust that it neither changes nor shrinks.  Its size
 * counts the terminating NUL, which the compositor's parser reads. */
int keymapFile(const LinuxKey &k, uint32_t &size) {
    char text[sizeof KEYMAP_TEXT + 64];
    int length =
        snprintf(text, sizeof text, KEYMAP_TEXT, k.evdevCode + XKB_KEYCODE_OFFSET, k.keysymName);
    if (length < 0 || static_cast<size_t>(length) >= sizeof text)
        return -1;
    size = static_cast<uint32_t>(length) + 1;
    int fd = memfd_create("mediakey-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    if (write(fd, text, size) != static_cast<ssize_t>(size) ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* A seat without a keyboard gains one with this program's, and only then do
 * its clients learn that it has one: each asks for a keyboard object of its
 * own, and a key that the compositor handles before a client's request
 * reaches no keyboard of that client, the focused one included.  Nothing in
 * the protocol shows another client's requests, so there the keys wait this
 * long after the compositor confirmed the keyboard, by when it has told
 * every client.  sway took at most 176 ms from telling wev to handling its
 * request, on 2 loaded cores; a seat that has a keyboard never waits. */
const long long SETTLE_MS = 250;

} // namespace

WaylandOutcome pressVirtualKeyboard(Connection &c, const LinuxKey &k) {
    /* The keyboard and its keymap first, confirmed: a compositor that gives
     * virtual keyboards only to trusted clients refuses here, and then no
     * key has gone out and another way may still press. */
    uint32_t keymapSize = 0;
    int keymap = keymapFile(k, keymapSize);
    if (keymap < 0)
        return WAYLAND_NO_KEYMAP;
    /* Runs that press at once take turns from binding the seat until their
     * keys may go, so that one that finds a keyboard on the seat never finds
     * one whose clients are still taking it up: the run that brought it
     * holds the turn through its wait, and one that missed its turn waits as
     * on a seat without a keyboard. */
    Turn turn = takeTurn();
    /* The wait for the turn is not the compositor's. */
    c.deadline = nowMs() + ANSWER_MS;
    Requests r = {};
    bind(r, c.state.seatName, SEAT_INTERFACE, WAYLAND_SEAT_ID);
    bind(r, c.state.managerName, MANAGER_INTERFACE, WAYLAND_MANAGER_ID);
    begin(r, WAYLAND_MANAGER_ID, MANAGER_CREATE_VIRTUAL_KEYBOARD);
    put(r, WAYLAND_SEAT_ID);
    put(r, WAYLAND_KEYBOARD_ID);
    end(r);
    begin(r, WAYLAND_KEYBOARD_ID, KEYBOARD_KEYMAP);
    put(r, KEYMAP_FORMAT_XKB_V1);
    put(r, keymapSize);
    end(r);
    Progress progress = roundTrip(c, r, WAYLAND_KEYBOARD_SYNC_ID, keymap);
    close(keymap);
    /* The seat told its capabilities on the bind, before this keyboard came,
     * and again on each change since.  Where the keyboard is new to the
     * seat, or came back after another run's went, or came while others
     * kept the turn too long, the clients need their time. */
    if (progress == PROGRESS_OK &&
        (turn.missed || !c.state.seatToldCapabilities || c.state.seatLackedKeyboard))
        progress = settle(c, nowMs() + SETTLE_MS);
    giveTurnBack(turn);
    if (progress != PROGRESS_OK)
        return failure(progress, WAYLAND_REFUSED);

    /* From here on the press may be half done if anything fails. */
    auto time = static_cast<uint32_t>(nowMs());
    r = {};
    key(r, time, k.evdevCode, KEY_STATE_PRESSED);
    key(r, time, k.evdevCode, KEY_STATE_RELEASED);
    progress = roundTrip(c, r, WAYLAND_KEYS_SYNC_ID);
    if (progress != PROGRESS_OK)
        return failure(progress, WAYLAND_FAILED);

    /* Both keys are handled; the compositor would release a held key of a
     * keyboard that goes away, and this one goes away now. */
    r = {};
    begin(r, WAYLAND_KEYBOARD_ID, KEYBOARD_DESTROY);
    end(r);
    send(c, r);
    return WAYLAND_PRESSED;
}

} // namespace wayland
