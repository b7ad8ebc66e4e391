/* The press through KWin's fake input: the keys go into KWin's own keyboard
 * pipeline, its global shortcuts included, as a device of this client's.
 * KWin lists the global only to a program that an installed application
 * file names, so a client that sees it is admitted; authenticate only tells
 * KWin who presses and why. */
#include "wayland.h"

namespace wayland {

namespace {

/* The requests of org_kde_kwin_fake_input. */
const uint16_t FAKE_INPUT_AUTHENTICATE = 0;
const uint16_t FAKE_INPUT_KEYBOARD_KEY = 10;

const char APPLICATION[] = "mediakey";
const char REASON[] = "presses the media key it is asked to";

void key(Requests &r, uint16_t code, uint32_t state) {
    begin(r, WAYLAND_FAKE_INPUT_ID, FAKE_INPUT_KEYBOARD_KEY);
    put(r, code);
    put(r, state);
    end(r);
}

} // namespace

WaylandOutcome pressFakeInput(Connection &c, const LinuxKey &k) {
    /* The device confirmed first: a compositor that refuses it does so
     * before any key went out, and another way may still press. */
    Requests r = {};
    bind(r, c.state.fakeInputName, FAKE_INPUT_INTERFACE, WAYLAND_FAKE_INPUT_ID,
         FAKE_INPUT_KEYS_VERSION);
    begin(r, WAYLAND_FAKE_INPUT_ID, FAKE_INPUT_AUTHENTICATE);
    putString(r, APPLICATION);
    putString(r, REASON);
    end(r);
    Progress progress = roundTrip(c, r, WAYLAND_FAKE_INPUT_SYNC_ID);
    if (progress != PROGRESS_OK)
        return failure(progress, WAYLAND_REFUSED);

    /* KWin feeds every fake device's keys through one keyboard state, in
     * which a key another run holds down would swallow this run's: runs
     * press in turns, from their first key to their last one handled. */
    Turn turn = takeTurn();
    c.deadline = nowMs() + ANSWER_MS;
    r = {};
    key(r, k.evdevCode, KEY_STATE_PRESSED);
    key(r, k.evdevCode, KEY_STATE_RELEASED);
    progress = roundTrip(c, r, WAYLAND_FAKE_KEYS_SYNC_ID);
    giveTurnBack(turn);
    return progress == PROGRESS_OK ? WAYLAND_PRESSED : failure(progress, WAYLAND_FAILED);
}

} // namespace wayland
