#include "../press.h"

#include "key_args.h"

#include <X11/Xauth.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

/* A local server answers within milliseconds.  One that accepted the
 * connection and then stopped (a suspended session) or a remote host that
 * drops packets would otherwise hold the press forever; libxcb waits without
 * a limit, so the process ends here with the one line of a failed press. */
const unsigned ANSWER_SECONDS = 2;

/* The one kind of cookie that goes to the server as it is read. */
const char COOKIE_NAME[] = "MIT-MAGIC-COOKIE-1";

/* Standard error, also while connect() below diverts the descriptor. */
int reportFd = STDERR_FILENO;

/* Written from the alarm's handler, so made before the alarm is set. */
char noAnswerLine[640];
size_t noAnswerLength;

void onNoAnswer(int) {
    ssize_t ignored = write(reportFd, noAnswerLine, noAnswerLength);
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
 * was such a reason tells a refusal from a display where nobody answers.
 * fd, where not -1, is a connection libxcb is handed, with cookie. */
xcb_connection_t *connect(int fd, xcb_auth_info_t *cookie, bool &refused) {
    int screen = 0;
    int diverted[2];
    int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || pipe2(diverted, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (saved >= 0)
            close(saved);
        refused = false;
        return fd < 0 ? xcb_connect(nullptr, &screen) : xcb_connect_to_fd(fd, cookie);
    }
    reportFd = saved;
    dup2(diverted[1], STDERR_FILENO);
    xcb_connection_t *c = fd < 0 ? xcb_connect(nullptr, &screen) : xcb_connect_to_fd(fd, cookie);
    dup2(saved, STDERR_FILENO);
    reportFd = STDERR_FILENO;
    char reason;
    refused = read(diverted[0], &reason, 1) > 0;
    close(diverted[0]);
    close(diverted[1]);
    close(saved);
    return c;
}

/* What libxcb itself would send to a local display: the cookie for this
 * host's name and the display's number, from the file in XAUTHORITY or
 * ~/.Xauthority.  nullptr where there is none. */
Xauth *findCookie(long server) {
    char host[256] = "", number[24];
    if (gethostname(host, sizeof host - 1) != 0)
        return nullptr;
    snprintf(number, sizeof number, "%ld", server);
    char name[sizeof COOKIE_NAME];
    memcpy(name, COOKIE_NAME, sizeof name);
    char *names[] = {name};
    const int nameLengths[] = {sizeof COOKIE_NAME - 1};
    return XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned short>(strlen(host)), host,
                                static_cast<unsigned short>(strlen(number)), number, 1, names,
                                nameLengths);
}

/* Through the server's own socket: the server at its other end is shown to
 * be this user's before the cookie goes out.  nullptr where nothing took the
 * connection. */
xcb_connection_t *connectToOwn(long server, bool &refused, bool &notOwn) {
    sockaddr_un address = {};
    if (!xServerSocket(server, address))
        return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (!connected || !peerIsOwn(fd)) {
        notOwn = connected;
        close(fd);
        return nullptr;
    }
    Xauth *found = findCookie(server);
    xcb_auth_info_t cookie = {};
    if (found) {
        cookie.namelen = found->name_length;
        cookie.name = found->name;
        cookie.datalen = found->data_length;
        cookie.data = found->data;
    }
    /* libxcb owns the descriptor from here, whatever becomes of it. */
    xcb_connection_t *c = connect(fd, found ? &cookie : nullptr, refused);
    if (found)
        XauDisposeAuth(found);
    return c;
}

} // namespace

X11Outcome pressX11(const LinuxKey &key, long server, const char *subject) {
    /* As said of the display the caller named; subject puts the one tried
     * in its place. */
    static const char callersLine[] = "the X display in DISPLAY did not answer within 2 seconds; "
                                      "check that its X server is running\n";
    int length = snprintf(noAnswerLine, sizeof noAnswerLine, "mediakey: cannot press: %s%s",
                          subject, callersLine + sizeof X11_NAMED - 1);
    noAnswerLength = length > 0 ? strlen(noAnswerLine) : 0;
    /* A server that goes away mid-request must not end this process by
     * SIGPIPE: libxcb then reports a broken connection, and so can we.  The
     * old disposition comes back before anything is written to stdout. */
    struct sigaction ignore = {}, oldPipe = {}, timeout = {}, oldAlarm = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);
    timeout.sa_handler = onNoAnswer;
    sigaction(SIGALRM, &timeout, &oldAlarm);
    alarm(ANSWER_SECONDS);

    bool refused = false, notOwn = false;
    xcb_connection_t *c =
        server < 0 ? connect(-1, nullptr, refused) : connectToOwn(server, refused, notOwn);
    X11Outcome outcome = notOwn                         ? X11_NOT_OWN
                         : !c                           ? X11_UNREACHABLE
                         : !xcb_connection_has_error(c) ? press(c, key)
                         : refused                      ? X11_REFUSED
                                                        : X11_UNREACHABLE;
    if (c)
        xcb_disconnect(c);

    alarm(0);
    sigaction(SIGALRM, &oldAlarm, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    return outcome;
}
