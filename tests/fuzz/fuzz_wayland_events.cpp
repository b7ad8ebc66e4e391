/* Feeds the reader of compositor messages arbitrary bytes, as one stream,
 * and checks that it frames them sanely and that what it learns does not
 * depend on how the stream was cut into reads: the first byte of the input
 * sets the size of the reads, the rest is the stream. */
#include "wayland_events.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool ok, const char *invariant) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", invariant);
        abort();
    }
}

const uint32_t CALLBACK_BITS = 1u << WAYLAND_GLOBALS_SYNC_ID | 1u << WAYLAND_KEYBOARD_SYNC_ID |
                               1u << WAYLAND_KEYS_SYNC_ID | 1u << WAYLAND_FAKE_INPUT_SYNC_ID |
                               1u << WAYLAND_FAKE_KEYS_SYNC_ID;

/* Reads the stream as the press does: whole messages from the front of what
 * has arrived, the rest kept for the next read.  False once it is
 * malformed. */
bool readStream(const uint8_t *data, size_t size, size_t chunk, WaylandState &state) {
    std::vector<unsigned char> held;
    for (size_t at = 0; at < size;) {
        size_t take = size - at < chunk ? size - at : chunk;
        held.insert(held.end(), data + at, data + at + take);
        at += take;
        /* Exactly what has arrived, so that ASan sees any read beyond it. */
        std::vector<unsigned char> arrived(held);
        size_t used = 0, start = 0;
        for (;;) {
            WaylandRead read =
                readWaylandMessage(arrived.data() + start, arrived.size() - start, used, state);
            if (read == WAYLAND_READ_MALFORMED)
                return false;
            if (read == WAYLAND_READ_MORE)
                break;
            require(used >= 8 && used % 4 == 0, "a message is whole words, header included");
            require(used <= arrived.size() - start, "a message within what arrived");
            require(used <= WAYLAND_MAX_MESSAGE_BYTES, "a message within the bound");
            start += used;
        }
        require(arrived.size() - start < WAYLAND_MAX_MESSAGE_BYTES,
                "what is kept fits one message");
        held.erase(held.begin(), held.begin() + static_cast<long>(start));
    }
    return true;
}

bool sameState(const WaylandState &a, const WaylandState &b) {
    return a.hasSeat == b.hasSeat && a.hasManager == b.hasManager &&
           (!a.hasSeat || a.seatName == b.seatName) &&
           (!a.hasManager || a.managerName == b.managerName) && a.hasFakeInput == b.hasFakeInput &&
           (!a.hasFakeInput ||
            (a.fakeInputName == b.fakeInputName && a.fakeInputVersion == b.fakeInputVersion)) &&
           a.isKwin == b.isKwin && a.seatToldCapabilities == b.seatToldCapabilities &&
           a.seatLackedKeyboard == b.seatLackedKeyboard && a.answered == b.answered &&
           a.error == b.error &&
           (!a.error || (a.errorObject == b.errorObject && a.errorCode == b.errorCode));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t chunk = data[0] % 64 + 1;
    WaylandState whole = {}, pieces = {};
    bool wholeOk = readStream(data + 1, size - 1, size, whole);
    bool piecesOk = readStream(data + 1, size - 1, chunk, pieces);
    require(wholeOk == piecesOk, "malformed however the stream is cut");
    if (wholeOk)
        require(sameState(whole, pieces), "the same state however the stream is cut");
    require((whole.answered & ~CALLBACK_BITS) == 0, "done only for the press's callbacks");
    require(whole.seatToldCapabilities || !whole.seatLackedKeyboard,
            "no keyboard missing from capabilities never told");
    return 0;
}
