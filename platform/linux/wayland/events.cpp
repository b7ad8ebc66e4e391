/* What the compositor sends, read into the state of the press: framed
 * message by message, the few the press uses taken apart, the rest passed
 * over.  Kept apart from the socket so that any bytes can be fed to it. */
#include "wayland.h"

#include <cstring>

namespace wayland {

namespace {

/* The messages of the reader, written from the core protocol, the virtual
 * keyboard protocol and KWin's fake input (which has no events).  Signatures: u and o a word, s a
 * string. */
enum EventKind {
    EVENT_ERROR,
    EVENT_DELETE_ID,
    EVENT_GLOBAL,
    EVENT_GLOBAL_REMOVE,
    EVENT_CAPABILITIES,
    EVENT_DONE,
};

struct EventShape {
    uint32_t object;
    uint16_t opcode;
    const char *signature;
    EventKind kind;
};

const EventShape eventShapes[] = {
    {WAYLAND_DISPLAY_ID, 0, "ous", EVENT_ERROR},        /* wl_display.error */
    {WAYLAND_DISPLAY_ID, 1, "u", EVENT_DELETE_ID},      /* wl_display.delete_id */
    {WAYLAND_REGISTRY_ID, 0, "usu", EVENT_GLOBAL},      /* wl_registry.global */
    {WAYLAND_REGISTRY_ID, 1, "u", EVENT_GLOBAL_REMOVE}, /* wl_registry.global_remove */
    {WAYLAND_SEAT_ID, 0, "u", EVENT_CAPABILITIES},      /* wl_seat.capabilities */
    /* wl_callback.done, of each round trip */
    {WAYLAND_GLOBALS_SYNC_ID, 0, "u", EVENT_DONE},
    {WAYLAND_KEYBOARD_SYNC_ID, 0, "u", EVENT_DONE},
    {WAYLAND_KEYS_SYNC_ID, 0, "u", EVENT_DONE},
    {WAYLAND_FAKE_INPUT_SYNC_ID, 0, "u", EVENT_DONE},
    {WAYLAND_FAKE_KEYS_SYNC_ID, 0, "u", EVENT_DONE},
};
const size_t MAX_EVENT_ARGS = 3;

const uint32_t SEAT_CAPABILITY_KEYBOARD = 2;

const size_t HEADER_BYTES = 8;

uint32_t wordAt(const unsigned char *bytes) {
    uint32_t word;
    memcpy(&word, bytes, sizeof word);
    return word;
}

struct Arg {
    uint32_t word;
    const char *text;
};

/* The arguments must fill the body exactly; a string must be one, not null,
 * with its NUL at its end and nowhere before. */
bool readArgs(const unsigned char *body, size_t length, const char *signature, Arg *args) {
    size_t at = 0;
    for (size_t i = 0; signature[i]; ++i) {
        if (length - at < WORD_BYTES)
            return false;
        args[i].word = wordAt(body + at);
        args[i].text = nullptr;
        at += WORD_BYTES;
        if (signature[i] != 's')
            continue;
        size_t bytes = args[i].word;
        size_t padded = (bytes + WORD_BYTES - 1) / WORD_BYTES * WORD_BYTES;
        if (bytes == 0 || padded > length - at || body[at + bytes - 1] != 0 ||
            memchr(body + at, 0, bytes - 1))
            return false;
        args[i].text = reinterpret_cast<const char *>(body + at);
        at += padded;
    }
    return at == length;
}

void apply(WaylandState &state, uint32_t object, EventKind kind, const Arg *args) {
    switch (kind) {
    case EVENT_ERROR:
        state.error = true;
        state.errorObject = args[0].word;
        state.errorCode = args[1].word;
        break;
    case EVENT_DELETE_ID:
        break;
    case EVENT_GLOBAL:
        /* The first seat is the one a desktop's keyboard belongs to. */
        if (args[2].word == 0)
            break;
        if (strncmp(args[1].text, KWIN_PREFIX, sizeof KWIN_PREFIX - 1) == 0)
            state.isKwin = true;
        if (!state.hasSeat && strcmp(args[1].text, SEAT_INTERFACE) == 0) {
            state.hasSeat = true;
            state.seatName = args[0].word;
        } else if (!state.hasManager && strcmp(args[1].text, MANAGER_INTERFACE) == 0) {
            state.hasManager = true;
            state.managerName = args[0].word;
        } else if (!state.hasFakeInput && strcmp(args[1].text, FAKE_INPUT_INTERFACE) == 0) {
            state.hasFakeInput = true;
            state.fakeInputName = args[0].word;
            state.fakeInputVersion = args[2].word;
        }
        break;
    case EVENT_GLOBAL_REMOVE:
        if (state.hasSeat && state.seatName == args[0].word)
            state.hasSeat = false;
        if (state.hasManager && state.managerName == args[0].word)
            state.hasManager = false;
        if (state.hasFakeInput && state.fakeInputName == args[0].word)
            state.hasFakeInput = false;
        break;
    case EVENT_CAPABILITIES:
        state.seatToldCapabilities = true;
        if (!(args[0].word & SEAT_CAPABILITY_KEYBOARD))
            state.seatLackedKeyboard = true;
        break;
    case EVENT_DONE:
        state.answered |= 1u << object;
        break;
    }
}

} // namespace

} // namespace wayland

using namespace wayland;

WaylandRead readWaylandMessage(const unsigned char *bytes, size_t length, size_t &used,
                               WaylandState &state) {
    if (length < HEADER_BYTES)
        return WAYLAND_READ_MORE;
    uint32_t object = wordAt(bytes);
    uint32_t sizeAndOpcode = wordAt(bytes + WORD_BYTES);
    size_t size = sizeAndOpcode >> 16;
    auto opcode = static_cast<uint16_t>(sizeAndOpcode & 0xffff);
    if (size < HEADER_BYTES || size % WORD_BYTES != 0 || size > WAYLAND_MAX_MESSAGE_BYTES)
        return WAYLAND_READ_MALFORMED;
    if (length < size)
        return WAYLAND_READ_MORE;
    used = size;
    for (const EventShape &shape : eventShapes) {
        if (shape.object != object || shape.opcode != opcode)
            continue;
        Arg args[MAX_EVENT_ARGS];
        if (!readArgs(bytes + HEADER_BYTES, size - HEADER_BYTES, shape.signature, args))
            return WAYLAND_READ_MALFORMED;
        apply(state, object, shape.kind, args);
        break;
    }
    return WAYLAND_READ_MESSAGE;
}
