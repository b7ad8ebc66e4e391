/* The connection to the compositor: its address, the requests gathered and
 * written, what comes back read, round trips; and the entry, which connects
 * and hands the connection to the press.
 *
 * The Wayland wire protocol spoken directly: the program stays one static
 * file, and Debian ships libwayland-client only as a shared library.  Each
 * message is the object id, then its size in bytes (header included) in the
 * upper 16 bits and the opcode in the lower 16 of one word, then the
 * arguments as words in the host's byte order; strings carry their length
 * with the NUL and are padded to a word, file descriptors travel beside the
 * bytes as SCM_RIGHTS. */
#include "wayland.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace wayland {

namespace {

/* The requests, by interface. */
const uint16_t DISPLAY_SYNC = 0;
const uint16_t DISPLAY_GET_REGISTRY = 1;
const uint16_t REGISTRY_BIND = 0;
/* Descriptors a compositor might send along, to be closed unread. */
const size_t MAX_RECEIVED_FDS = 28;

/* Every wait ends at the one deadline of the run. */
Progress waitFor(const Connection &c, short events) {
    long long left = c.deadline - nowMs();
    if (left <= 0)
        return PROGRESS_NO_ANSWER;
    pollfd p = {c.socket, events, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR)
        return PROGRESS_BROKEN;
    return ready == 0 ? PROGRESS_NO_ANSWER : PROGRESS_OK;
}

void closeReceivedFds(msghdr &message) {
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(header) + i * sizeof fd, sizeof fd);
            close(fd);
        }
    }
}

/* Takes what the compositor sent into the state, waiting for it if need be. */
Progress receive(Connection &c) {
    Progress ready = waitFor(c, POLLIN);
    if (ready != PROGRESS_OK)
        return ready;
    iovec data = {c.received + c.held, sizeof c.received - c.held};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(MAX_RECEIVED_FDS * sizeof(int))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = recvmsg(c.socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0)
        return errno == EAGAIN || errno == EINTR ? PROGRESS_OK : PROGRESS_BROKEN;
    closeReceivedFds(message);
    if (got == 0)
        return PROGRESS_BROKEN;
    c.held += static_cast<size_t>(got);

    size_t at = 0, used = 0;
    for (;;) {
        WaylandRead read = readWaylandMessage(c.received + at, c.held - at, used, c.state);
        if (read == WAYLAND_READ_MALFORMED)
            return PROGRESS_BROKEN;
        if (read == WAYLAND_READ_MORE)
            break;
        at += used;
    }
    memmove(c.received, c.received + at, c.held - at);
    c.held -= at;
    return PROGRESS_OK;
}

} // namespace

void put(Requests &r, uint32_t word) {
    r.words[r.count++] = word;
}

void putString(Requests &r, const char *text) {
    size_t bytes = strlen(text) + 1;
    put(r, static_cast<uint32_t>(bytes));
    size_t words = (bytes + WORD_BYTES - 1) / WORD_BYTES;
    memset(r.words + r.count, 0, words * WORD_BYTES);
    memcpy(r.words + r.count, text, bytes);
    r.count += words;
}

void begin(Requests &r, uint32_t object, uint16_t opcode) {
    r.start = r.count;
    put(r, object);
    put(r, opcode);
}

void end(Requests &r) {
    auto bytes = static_cast<uint32_t>((r.count - r.start) * WORD_BYTES);
    r.words[r.start + 1] |= bytes << 16;
}

void bind(Requests &r, uint32_t name, const char *interface, uint32_t id, uint32_t version) {
    begin(r, WAYLAND_REGISTRY_ID, REGISTRY_BIND);
    put(r, name);
    putString(r, interface);
    put(r, version);
    put(r, id);
    end(r);
}

/* fd may go with any of the bytes: the compositor queues descriptors apart
 * from bytes and hands them to the requests that take one, in order. */
Progress send(Connection &c, const Requests &r, int fd) {
    const auto *bytes = reinterpret_cast<const char *>(r.words);
    size_t left = r.count * WORD_BYTES;
    while (left > 0) {
        iovec data = {const_cast<char *>(bytes), left};
        msghdr message = {};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
        if (fd >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr *header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof fd);
            memcpy(CMSG_DATA(header), &fd, sizeof fd);
        }
        ssize_t sent = sendmsg(c.socket, &message, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            left -= static_cast<size_t>(sent);
            fd = -1;
        } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            Progress ready = waitFor(c, POLLOUT);
            if (ready != PROGRESS_OK)
                return ready;
        } else {
            return PROGRESS_BROKEN;
        }
    }
    return PROGRESS_OK;
}

/* Sends the requests and then a sync, and waits for its done: the
 * compositor handles requests in order, so it has handled them all. */
Progress roundTrip(Connection &c, Requests &r, uint32_t callback, int fd) {
    begin(r, WAYLAND_DISPLAY_ID, DISPLAY_SYNC);
    put(r, callback);
    end(r);
    Progress progress = send(c, r, fd);
    while (progress == PROGRESS_OK && !c.state.error && !(c.state.answered & (1u << callback)))
        progress = receive(c);
    return progress == PROGRESS_OK && c.state.error ? PROGRESS_BROKEN : progress;
}

/* Reads what the compositor sends until the time has come, so that an error
 * or a closed connection shows before any key goes out. */
Progress settle(Connection &c, long long until) {
    for (long long left; (left = until - nowMs()) > 0;) {
        pollfd p = {c.socket, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return PROGRESS_BROKEN;
        if (ready > 0) {
            Progress progress = receive(c);
            if (progress != PROGRESS_OK)
                return progress;
            if (c.state.error)
                return PROGRESS_BROKEN;
        }
    }
    return PROGRESS_OK;
}

/* A broken connection is `broken`, which depends on how far the press got. */
WaylandOutcome failure(Progress progress, WaylandOutcome broken) {
    return progress == PROGRESS_BROKEN ? broken : WAYLAND_NO_ANSWER;
}

} // namespace wayland

using namespace wayland;

/* WAYLAND_DISPLAY is a socket's path, or its name in XDG_RUNTIME_DIR. */
bool waylandSocket(sockaddr_un &address) {
    const char *name = getenv("WAYLAND_DISPLAY");
    const char *dir = getenv("XDG_RUNTIME_DIR");
    address.sun_family = AF_UNIX;
    int length;
    if (name && name[0] == '/')
        length = snprintf(address.sun_path, sizeof address.sun_path, "%s", name);
    else if (name && dir && dir[0])
        length = snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir, name);
    else
        return false;
    return length > 0 && static_cast<size_t>(length) < sizeof address.sun_path;
}

namespace {

/* The compositor's globals, then the way it offers: its virtual keyboard
 * where it has one, as wlroots' compositors do; else KWin's fake input,
 * which KWin lists only to the programs an installed application file
 * admits. */
WaylandOutcome press(Connection &c, const LinuxKey &key) {
    Requests r = {};
    begin(r, WAYLAND_DISPLAY_ID, DISPLAY_GET_REGISTRY);
    put(r, WAYLAND_REGISTRY_ID);
    end(r);
    Progress progress = roundTrip(c, r, WAYLAND_GLOBALS_SYNC_ID);
    if (progress != PROGRESS_OK)
        return failure(progress, WAYLAND_REFUSED);
    if (c.state.hasSeat && c.state.hasManager)
        return pressVirtualKeyboard(c, key);
    if (c.state.hasFakeInput && c.state.fakeInputVersion >= FAKE_INPUT_KEYS_VERSION)
        return pressFakeInput(c, key);
    return c.state.isKwin ? WAYLAND_NOT_ADMITTED : WAYLAND_NO_KEYBOARD;
}

} // namespace

WaylandOutcome pressWayland(const LinuxKey &key, DisplayOrigin origin) {
    Connection c = {};
    c.deadline = nowMs() + ANSWER_MS;
    sockaddr_un address = {};
    if (!waylandSocket(address))
        return WAYLAND_UNREACHABLE;
    /* Non-blocking also for connect: a compositor that stopped with its
     * listening queue full would hold a blocking one. */
    c.socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c.socket < 0)
        return WAYLAND_UNREACHABLE;
    WaylandOutcome outcome = WAYLAND_UNREACHABLE;
    /* The search checked a connection of its own, not this one. */
    if (connect(c.socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        outcome = origin != ORIGIN_CALLER && !peerIsOwn(c.socket) ? WAYLAND_NOT_OWN : press(c, key);
    close(c.socket);
    return outcome;
}
