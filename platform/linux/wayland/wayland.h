#ifndef WAYLAND_WAYLAND_H
#define WAYLAND_WAYLAND_H

/* What the files of the Wayland way share: the connection to the
 * compositor, the requests that go over it, and the functions each file
 * gives the others, under the file that defines them. */

#include "../press.h"
#include "wayland_events.h"

#include <stddef.h>
#include <stdint.h>

namespace wayland {

/* The globals of the press, which the reader looks for among the
 * compositor's. */
const char SEAT_INTERFACE[] = "wl_seat";
const char MANAGER_INTERFACE[] = "zwp_virtual_keyboard_manager_v1";
const char FAKE_INPUT_INTERFACE[] = "org_kde_kwin_fake_input";
/* What the names of KWin's own interfaces start with. */
const char KWIN_PREFIX[] = "org_kde_kwin_";

const size_t WORD_BYTES = 4;

/* A key's state, as both ways to press take it. */
const uint32_t KEY_STATE_RELEASED = 0;
const uint32_t KEY_STATE_PRESSED = 1;

/* A compositor answers within milliseconds.  One that accepted the
 * connection and then stopped (a suspended session) would otherwise hold the
 * press forever; the bound is that of the X11 way. */
const long long ANSWER_MS = 2000;

/* The requests of one round trip, gathered so that they go out in one
 * write. */
struct Requests {
    uint32_t words[64];
    size_t count;
    size_t start; /* of the request being written */
};

struct Connection {
    int socket;
    long long deadline;
    unsigned char received[2 * WAYLAND_MAX_MESSAGE_BYTES];
    size_t held;
    WaylandState state;
};

enum Progress { PROGRESS_OK, PROGRESS_BROKEN, PROGRESS_NO_ANSWER };

/* connection.cpp */
void put(Requests &r, uint32_t word);
void putString(Requests &r, const char *text);
void begin(Requests &r, uint32_t object, uint16_t opcode);
void end(Requests &r);
void bind(Requests &r, uint32_t name, const char *interface, uint32_t id, uint32_t version = 1);
Progress send(Connection &c, const Requests &r, int fd = -1);
Progress roundTrip(Connection &c, Requests &r, uint32_t callback, int fd = -1);
Progress settle(Connection &c, long long until);
WaylandOutcome failure(Progress progress, WaylandOutcome broken);

/* virtual_keyboard.cpp */
WaylandOutcome pressVirtualKeyboard(Connection &c, const LinuxKey &k);

/* fake_input.cpp; keys came with version 4 of it. */
const uint32_t FAKE_INPUT_KEYS_VERSION = 4;
WaylandOutcome pressFakeInput(Connection &c, const LinuxKey &k);

} // namespace wayland

#endif
