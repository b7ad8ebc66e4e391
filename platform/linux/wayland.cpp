#include "press.h"
#include "wayland_events.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

/* The Wayland wire protocol spoken directly: the program stays one static
 * file, and Debian ships libwayland-client only as a shared library.  Each
 * message is the object id, then its size in bytes (header included) in the
 * upper 16 bits and the opcode in the lower 16 of one word, then the
 * arguments as words in the host's byte order; strings carry their length
 * with the NUL and are padded to a word, file descriptors travel beside the
 * bytes as SCM_RIGHTS. */

namespace {

/* The messages of the reader, written from the core protocol and the
 * virtual keyboard protocol.  Signatures: u and o a word, s a string. */
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
};
const size_t MAX_EVENT_ARGS = 3;

/* The requests, by interface. */
const uint16_t DISPLAY_SYNC = 0;
const uint16_t DISPLAY_GET_REGISTRY = 1;
const uint16_t REGISTRY_BIND = 0;
const uint16_t MANAGER_CREATE_VIRTUAL_KEYBOARD = 0;
const uint16_t KEYBOARD_KEYMAP = 0;
const uint16_t KEYBOARD_KEY = 1;
const uint16_t KEYBOARD_DESTROY = 3;

const char SEAT_INTERFACE[] = "wl_seat";
const char MANAGER_INTERFACE[] = "zwp_virtual_keyboard_manager_v1";
/* Version 1 of both has all the press needs. */
const uint32_t BIND_VERSION = 1;

const uint32_t SEAT_CAPABILITY_KEYBOARD = 2;
const uint32_t KEYMAP_FORMAT_XKB_V1 = 1;
const uint32_t KEY_STATE_RELEASED = 0;
const uint32_t KEY_STATE_PRESSED = 1;
/* XKB numbers keys 8 above the kernel's codes. */
const unsigned XKB_KEYCODE_OFFSET = 8;

const size_t HEADER_BYTES = 8;
const size_t WORD_BYTES = 4;

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
        if (!state.hasSeat && strcmp(args[1].text, SEAT_INTERFACE) == 0) {
            state.hasSeat = true;
            state.seatName = args[0].word;
        } else if (!state.hasManager && strcmp(args[1].text, MANAGER_INTERFACE) == 0) {
            state.hasManager = true;
            state.managerName = args[0].word;
        }
        break;
    case EVENT_GLOBAL_REMOVE:
        if (state.hasSeat && state.seatName == args[0].word)
            state.hasSeat = false;
        if (state.hasManager && state.managerName == args[0].word)
            state.hasManager = false;
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

namespace {

/* A compositor answers within milliseconds.  One that accepted the
 * connection and then stopped (a suspended session) would otherwise hold the
 * press forever; the bound is that of the X11 way. */
const long long ANSWER_MS = 2000;
/* Descriptors a compositor might send along, to be closed unread. */
const size_t MAX_RECEIVED_FDS = 28;

/* The requests of one round trip, gathered so that they go out in one
 * write. */
struct Requests {
    uint32_t words[64];
    size_t count;
    size_t start; /* of the request being written */
};

void put(Requests &r, uint32_t word) {
    r.words[r.count++] = word;
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

void putString(Requests &r, const char *text) {
    size_t bytes = strlen(text) + 1;
    put(r, static_cast<uint32_t>(bytes));
    size_t words = (bytes + WORD_BYTES - 1) / WORD_BYTES;
    memset(r.words + r.count, 0, words * WORD_BYTES);
    memcpy(r.words + r.count, text, bytes);
    r.count += words;
}

void bind(Requests &r, uint32_t name, const char *interface, uint32_t id) {
    begin(r, WAYLAND_REGISTRY_ID, REGISTRY_BIND);
    put(r, name);
    putString(r, interface);
    put(r, BIND_VERSION);
    put(r, id);
    end(r);
}

void key(Requests &r, uint32_t time, uint16_t code, uint32_t state) {
    begin(r, WAYLAND_KEYBOARD_ID, KEYBOARD_KEY);
    put(r, time);
    put(r, code);
    put(r, state);
    end(r);
}

struct Connection {
    int socket;
    long long deadline;
    unsigned char received[2 * WAYLAND_MAX_MESSAGE_BYTES];
    size_t held;
    WaylandState state;
};

enum Progress { PROGRESS_OK, PROGRESS_BROKEN, PROGRESS_NO_ANSWER };

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

/* fd may go with any of the bytes: the compositor queues descriptors apart
 * from bytes and hands them to the requests that take one, in order. */
Progress send(Connection &c, const Requests &r, int fd = -1) {
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

/* Sends the requests and then a sync, and waits for its done: the
 * compositor handles requests in order, so it has handled them all. */
Progress roundTrip(Connection &c, Requests &r, uint32_t callback, int fd = -1) {
    begin(r, WAYLAND_DISPLAY_ID, DISPLAY_SYNC);
    put(r, callback);
    end(r);
    Progress progress = send(c, r, fd);
    while (progress == PROGRESS_OK && !c.state.error && !(c.state.answered & (1u << callback)))
        progress = receive(c);
    return progress == PROGRESS_OK && c.state.error ? PROGRESS_BROKEN : progress;
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

/* What a round trip that did not end well means for the press: a broken
 * connection is `broken`, which depends on how far the press got. */
WaylandOutcome failure(Progress progress, WaylandOutcome broken) {
    return progress == PROGRESS_BROKEN ? broken : WAYLAND_NO_ANSWER;
}

/* A seat without a keyboard gains one with this program's, and only then do
 * its clients learn that it has one: each asks for a keyboard object of its
 * own, and a key that the compositor handles before a client's request
 * reaches no keyboard of that client, the focused one included.  Nothing in
 * the protocol shows another client's requests, so there the keys wait this
 * long after the compositor confirmed the keyboard, by when it has told
 * every client.  Measured with sway 1.7 and wev focused on 2 cores, from
 * sway's telling the client to its handling the client's request, 300 times
 * each: idle, 0.2 ms (median) and at most 0.4 ms; beside others' builds
 * (load 5.5), 0.3 ms and at most 32 ms, and at load 18 (200 times), 13 ms and
 * at most 37 ms; with two or four busy loops added to load 5.5, 5 to 10 ms and
 * at most 176 ms.  The wait covers the worst of those with room to spare; a
 * seat that has a keyboard never waits. */
const long long SETTLE_MS = 250;

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

/* Runs that press at once take turns from binding the seat until their keys
 * may go, so that one that finds a keyboard on the seat never finds one whose
 * clients are still taking it up: the run that brought it holds the turn
 * through its wait.  The turn is a lock on a file beside the compositor's
 * socket, which the kernel releases when a run ends however it ends. */
const char TURN_SUFFIX[] = ".mediakey.lock";
/* Several runs that each wait SETTLE_MS may be ahead; past this, the run goes
 * on without its turn and waits as on a seat without a keyboard. */
const long long TURN_WAIT_MS = 2000;
/* The lock is taken by a blocking call, woken this often to look at the
 * clock. */
const long TURN_CHECK_US = 50000;

void wakeUp(int) {}

struct Turn {
    int fd;      /* the lock's, or -1 */
    bool missed; /* others held it for longer than TURN_WAIT_MS */
};

/* No turn where there is no lock file to be had, as where the socket's
 * directory is another's: others cannot take one there either. */
Turn takeTurn(const char *socketPath) {
    char path[sizeof(sockaddr_un::sun_path) + sizeof TURN_SUFFIX];
    snprintf(path, sizeof path, "%s%s", socketPath, TURN_SUFFIX);
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return {-1, false};
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return {fd, false};
    /* No SA_RESTART: the alarm ends a blocked flock with EINTR. */
    struct sigaction wake = {}, previous = {};
    wake.sa_handler = wakeUp;
    sigaction(SIGALRM, &wake, &previous);
    itimerval ticks = {{0, TURN_CHECK_US}, {0, TURN_CHECK_US}};
    setitimer(ITIMER_REAL, &ticks, nullptr);
    long long end = nowMs() + TURN_WAIT_MS;
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && nowMs() < end) {
    }
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    if (locked == 0)
        return {fd, false};
    close(fd);
    return {-1, true};
}

WaylandOutcome press(Connection &c, const LinuxKey &k, const char *socketPath) {
    Requests r = {};
    begin(r, WAYLAND_DISPLAY_ID, DISPLAY_GET_REGISTRY);
    put(r, WAYLAND_REGISTRY_ID);
    end(r);
    Progress progress = roundTrip(c, r, WAYLAND_GLOBALS_SYNC_ID);
    if (progress != PROGRESS_OK)
        return failure(progress, WAYLAND_REFUSED);
    if (!c.state.hasSeat || !c.state.hasManager)
        return WAYLAND_NO_KEYBOARD;

    /* The keyboard and its keymap first, confirmed: a compositor that gives
     * virtual keyboards only to trusted clients refuses here, and then no
     * key has gone out and another way may still press. */
    uint32_t keymapSize = 0;
    int keymap = keymapFile(k, keymapSize);
    if (keymap < 0)
        return WAYLAND_NO_KEYMAP;
    Turn turn = takeTurn(socketPath);
    /* The wait for the turn is not the compositor's. */
    c.deadline = nowMs() + ANSWER_MS;
    r = {};
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
    progress = roundTrip(c, r, WAYLAND_KEYBOARD_SYNC_ID, keymap);
    close(keymap);
    /* The seat told its capabilities on the bind, before this keyboard came,
     * and again on each change since.  Where the keyboard is new to the
     * seat, or came back after another run's went, or came while others
     * kept the turn too long, the clients need their time. */
    if (progress == PROGRESS_OK &&
        (turn.missed || !c.state.seatToldCapabilities || c.state.seatLackedKeyboard))
        progress = settle(c, nowMs() + SETTLE_MS);
    if (turn.fd >= 0)
        close(turn.fd);
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

/* As libwayland finds it: WAYLAND_DISPLAY is a socket's path, or its name
 * in XDG_RUNTIME_DIR. */
bool displayAddress(sockaddr_un &address) {
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

} // namespace

WaylandOutcome pressWayland(const LinuxKey &key) {
    Connection c = {};
    c.deadline = nowMs() + ANSWER_MS;
    sockaddr_un address = {};
    if (!displayAddress(address))
        return WAYLAND_UNREACHABLE;
    /* Non-blocking also for connect: a compositor that stopped with its
     * listening queue full would hold a blocking one. */
    c.socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c.socket < 0)
        return WAYLAND_UNREACHABLE;
    WaylandOutcome outcome = WAYLAND_UNREACHABLE;
    if (connect(c.socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        outcome = press(c, key, address.sun_path);
    close(c.socket);
    return outcome;
}
