#ifndef WAYLAND_EVENTS_H
#define WAYLAND_EVENTS_H

/* The reading of what a Wayland compositor sends, kept apart from the socket
 * so that any bytes at all can be fed to it. */

#include <stddef.h>
#include <stdint.h>

/* The objects of one press, by the ids the client gives them.  Each is made
 * once per run, so the ids are fixed, in the order they are created. */
enum WaylandObjectId : uint32_t {
    WAYLAND_DISPLAY_ID = 1,
    WAYLAND_REGISTRY_ID = 2,
    WAYLAND_GLOBALS_SYNC_ID = 3,
    WAYLAND_SEAT_ID = 4,
    WAYLAND_MANAGER_ID = 5,
    WAYLAND_KEYBOARD_ID = 6,
    WAYLAND_KEYBOARD_SYNC_ID = 7,
    WAYLAND_KEYS_SYNC_ID = 8,
    /* A compositor without the manager may offer KWin's fake input, whose
     * press makes its objects in the stead of the seat's and the
     * manager's: a client's ids must follow each other. */
    WAYLAND_FAKE_INPUT_ID = 4,
    WAYLAND_FAKE_INPUT_SYNC_ID = 5,
    WAYLAND_FAKE_KEYS_SYNC_ID = 6,
};

/* What the compositor has said so far. */
struct WaylandState {
    bool hasSeat;
    bool hasManager;
    bool hasFakeInput;
    /* A global of KWin's own: a KWin that lists no fake input to this
     * program has not admitted it. */
    bool isKwin;
    uint32_t seatName;
    uint32_t managerName;
    uint32_t fakeInputName;
    uint32_t fakeInputVersion;
    /* Whether the seat told its capabilities (on the bind, and again on
     * each change), and whether any of them lacked a keyboard: before this
     * run's own keyboard came, or while another's went away. */
    bool seatToldCapabilities;
    bool seatLackedKeyboard;
    /* One bit per callback id whose done event came. */
    uint32_t answered;
    /* A protocol error: the compositor has given up on this client. */
    bool error;
    uint32_t errorObject;
    uint32_t errorCode;
};

enum WaylandRead {
    WAYLAND_READ_MESSAGE,   /* one whole message read; used says its size */
    WAYLAND_READ_MORE,      /* the bytes end inside a message */
    WAYLAND_READ_MALFORMED, /* no compositor sends this: end the connection */
};

/* The largest message a compositor may send, libwayland's own bound. */
const size_t WAYLAND_MAX_MESSAGE_BYTES = 4096;

/* Reads the message at the start of bytes into state.  Messages to objects
 * or of kinds the press does not use are framed and passed over. */
WaylandRead readWaylandMessage(const unsigned char *bytes, size_t length, size_t &used,
                               WaylandState &state);

#endif
