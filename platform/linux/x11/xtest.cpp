#include "../press.h"

#include "key_args.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

/* A local server answers within milliseconds.  One that accepted the
 * connection and then stopped (a suspended session) or a remote host that
 * drops packets would otherwise hold the press forever; libxcb waits without
 * a limit, so the process ends here with the one line of a failed press. */
const unsigned ANSWER_SECONDS = 2;

/* Standard error, also while connect() below diverts the descriptor. */
int reportFd = STDERR_FILENO;

void onNoAnswer(int) {
    static const char line[] =
        "mediakey: cannot press: the X display in DISPLAY did not answer within 2 seconds; "
        "check that its X server is running\n";
    ssize_t ignored = write(reportFd, line, sizeof line - 1);
    (void)ignored;
    _exit(STATUS_CANNOT_PRESS);
}

/* The keycode whose unmodified keysym (column 0 of the core map) is the one
 * wanted; a key that gives it only with Shift or in another group would need
 * those held as well.  0 when no key gives it. */
xcb_keycode_t findKeycode(const xcb_get_keyboard_mapping_reply_t *map, xcb_keycode_t first,
                          uint32_t keysym) {
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(map);
    int length = xcb_get_keyboard_mapping_keysyms_length(map);
    int perKey = map->keysyms_per_keycode;
    if (perKey == 0)
        return 0;
    for (int i = 0; i + perKey <= length; i += perKey)
        if (syms[i] == keysym)
            return static_cast<xcb_keycode_t>(first + i / perKey);
    return 0;
}

X11Outcome press(xcb_connection_t *c, const LinuxKey &key) {
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_keycode_t first = setup->min_keycode;
    auto count = static_cast<uint8_t>(setup->max_keycode - first + 1);

    /* Both questions go out before either answer is awaited: one round trip. */
    xcb_prefetch_extension_data(c, &xcb_test_id);
    xcb_get_keyboard_mapping_cookie_t mapCookie = xcb_get_keyboard_mapping(c, first, count);
    const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(c, &xcb_test_id);
    xcb_get_keyboard_mapping_reply_t *map = xcb_get_keyboard_mapping_reply(c, mapCookie, nullptr);
    if (!xtest || !map) {
        free(map);
        return X11_FAILED;
    }
    if (!xtest->present) {
        free(map);
        return X11_NO_XTEST;
    }
    xcb_keycode_t keycode = findKeycode(map, first, key.keysym);
    free(map);
    if (keycode == 0)
        return X11_NO_KEY;

    /* Checking the press waits for a reply to a request sent after the
     * release, so the server has processed both once it returns. */
    xcb_void_cookie_t down =
        xcb_test_fake_input_checked(c, XCB_KEY_PRESS, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_void_cookie_t up = xcb_test_fake_input_checked(c, XCB_KEY_RELEASE, keycode,
                                                       XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_generic_error_t *downError = xcb_request_check(c, down);
    xcb_generic_error_t *upError = xcb_request_check(c, up);
    bool pressed = !downError && !upError && !xcb_connection_has_error(c);
    free(downError);
    free(upError);
    return pressed ? X11_PRESSED : X11_FAILED;
}

/* libxcb writes the reason why a server refused the connection, such as
 * missing authorization, to stderr itself; it is diverted here, so that a
 * failed press still ends in one line of this program's own.  Whether there
 * was such a reason tells a refusal from a display where nobody answers. */
xcb_connection_t *connect(bool &refused) {
    int screen = 0;
    int diverted[2];
    int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || pipe2(diverted, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (saved >= 0)
            close(saved);
        refused = false;
        return xcb_connect(nullptr, &screen);
    }
    reportFd = saved;
    dup2(diverted[1], STDERR_FILENO);
    xcb_connection_t *c = xcb_connect(nullptr, &screen);
    dup2(saved, STDERR_FILENO);
    reportFd = STDERR_FILENO;
    char reason;
    refused = read(diverted[0], &reason, 1) > 0;
    close(diverted[0]);
    close(diverted[1]);
    close(saved);
    return c;
}

} // namespace

X11Outcome pressX11(const LinuxKey &key) {
    /* A server that goes away mid-request must not end this process by
     * SIGPIPE: libxcb then reports a broken connection, and so can we.  The
     * old disposition comes back before anything is written to stdout. */
    struct sigaction ignore = {}, oldPipe = {}, timeout = {}, oldAlarm = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);
    timeout.sa_handler = onNoAnswer;
    sigaction(SIGALRM, &timeout, &oldAlarm);
    alarm(ANSWER_SECONDS);

    bool refused = false;
    xcb_connection_t *c = connect(refused);
    X11Outcome outcome = !xcb_connection_has_error(c) ? press(c, key)
                         : refused                    ? X11_REFUSED
                                                      : X11_UNREACHABLE;
    xcb_disconnect(c);

    alarm(0);
    sigaction(SIGALRM, &oldAlarm, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    return outcome;
}
