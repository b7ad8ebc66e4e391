/* The press through mutter's remote-desktop session, the way GNOME lets an
 * ordinary program of the session type: a session asked for on the session
 * bus, started, given the key's press and release, and stopped, all on one
 * connection, since mutter ends a session whose connection goes.  mutter
 * calls the interface its own, so a later GNOME may refuse it: a refusal
 * before the first key lets another way press. */
#include "../press.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dbus/dbus.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

const char SERVICE[] = "org.gnome.Mutter.RemoteDesktop";
const char OBJECT[] = "/org/gnome/Mutter/RemoteDesktop";
const char SESSION_INTERFACE[] = "org.gnome.Mutter.RemoteDesktop.Session";

/* The bound of the Wayland way, over the whole press: mutter answers within
 * milliseconds, and a bus or a mutter that stopped must not hold the run. */
const long long ANSWER_MS = 2000;

/* libdbus waits without a bound for the bus to take the connection and for
 * its first answers.  So the whole press runs under a timer, which ends a
 * blocked connect and then shuts the connection down, which ends any wait
 * on it. */
volatile sig_atomic_t busSocket = -1;
volatile sig_atomic_t timeIsUp = 0;

void endPress(int) {
    timeIsUp = 1;
    if (busSocket >= 0)
        shutdown(busSocket, SHUT_RDWR);
}

/* As libdbus finds the session bus: its address in DBUS_SESSION_BUS_ADDRESS,
 * else the socket "bus" in XDG_RUNTIME_DIR. */
DBusConnection *sessionBus() {
    const char *address = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return dbus_connection_open_private(address, nullptr);
    const char *dir = getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir)
        return nullptr;
    char path[sizeof(sockaddr_un::sun_path)];
    char unixAddress[sizeof path * 3 + 16];
    if (!userBus(dir, path, unixAddress, sizeof unixAddress))
        return nullptr;
    return dbus_connection_open_private(unixAddress, nullptr);
}

enum Answer { ANSWERED, ANSWER_ERROR, ANSWER_ABSENT, ANSWER_NONE, ANSWER_BROKEN };

struct Call {
    DBusConnection *bus;
    long long deadline;
    DBusMessage *reply; /* of an answered call, the caller's to unref */
};

/* Sends the call and waits for its answer within what is left of the bound.
 * A name nobody owns is mutter's absence; no answer in time, or a
 * connection gone, is told apart from an error mutter sent. */
Answer call(Call &c, DBusMessage *message) {
    c.reply = nullptr;
    if (!message)
        return ANSWER_BROKEN;
    long long left = c.deadline - nowMs();
    DBusError error;
    dbus_error_init(&error);
    if (left > 0)
        c.reply = dbus_connection_send_with_reply_and_block(c.bus, message, static_cast<int>(left),
                                                            &error);
    dbus_message_unref(message);
    if (c.reply)
        return ANSWERED;
    Answer answer = ANSWER_ERROR;
    if (left <= 0 || timeIsUp || dbus_error_has_name(&error, DBUS_ERROR_NO_REPLY) ||
        dbus_error_has_name(&error, DBUS_ERROR_TIMEOUT))
        answer = ANSWER_NONE;
    else if (dbus_error_has_name(&error, DBUS_ERROR_SERVICE_UNKNOWN) ||
             dbus_error_has_name(&error, DBUS_ERROR_NAME_HAS_NO_OWNER))
        answer = ANSWER_ABSENT;
    else if (dbus_error_has_name(&error, DBUS_ERROR_DISCONNECTED) ||
             !dbus_connection_get_is_connected(c.bus))
        answer = ANSWER_BROKEN;
    dbus_error_free(&error);
    return answer;
}

Answer callSession(Call &c, const char *session, const char *method, uint32_t code = 0,
                   bool pressed = false, bool withKey = false) {
    DBusMessage *message =
        dbus_message_new_method_call(SERVICE, session, SESSION_INTERFACE, method);
    dbus_bool_t down = pressed;
    if (message && withKey &&
        !dbus_message_append_args(message, DBUS_TYPE_UINT32, &code, DBUS_TYPE_BOOLEAN, &down,
                                  DBUS_TYPE_INVALID)) {
        dbus_message_unref(message);
        message = nullptr;
    }
    Answer answer = call(c, message);
    if (c.reply)
        dbus_message_unref(c.reply);
    return answer;
}

/* What an answer before any key went out means: the way is not there, or
 * was refused, or did not answer. */
MutterOutcome before(Answer answer) {
    switch (answer) {
    case ANSWER_ABSENT:
        return MUTTER_ABSENT;
    case ANSWER_NONE:
        return MUTTER_NO_ANSWER;
    default:
        return MUTTER_REFUSED;
    }
}

MutterOutcome press(Call &c, const LinuxKey &key) {
    /* The bus's own welcome, which every client sends first. */
    Answer answer = call(c, dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                         DBUS_INTERFACE_DBUS, "Hello"));
    if (answer != ANSWERED)
        return answer == ANSWER_NONE ? MUTTER_NO_ANSWER : MUTTER_NO_BUS;
    dbus_message_unref(c.reply);

    answer = call(c, dbus_message_new_method_call(SERVICE, OBJECT, SERVICE, "CreateSession"));
    if (answer != ANSWERED)
        return before(answer);
    const char *path = nullptr;
    char session[256];
    bool named =
        dbus_message_get_args(c.reply, nullptr, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID) &&
        snprintf(session, sizeof session, "%s", path) < static_cast<int>(sizeof session);
    dbus_message_unref(c.reply);
    if (!named)
        return MUTTER_REFUSED;

    answer = callSession(c, session, "Start");
    if (answer != ANSWERED)
        return before(answer);
    /* mutter answers a key once it has queued it, and an error it sent
     * means it queued nothing; a key without an answer may have gone. */
    answer = callSession(c, session, "NotifyKeyboardKeycode", key.evdevCode, true, true);
    if (answer == ANSWER_ERROR)
        return MUTTER_REFUSED;

    /* From here on the press may be half done if anything fails.  mutter
     * handles the queued keys before the device the session made goes with
     * Stop, so its answer comes after both. */
    if (answer == ANSWERED)
        answer = callSession(c, session, "NotifyKeyboardKeycode", key.evdevCode, false, true);
    if (answer == ANSWERED)
        answer = callSession(c, session, "Stop");
    if (answer == ANSWERED)
        return MUTTER_PRESSED;
    return answer == ANSWER_NONE ? MUTTER_NO_ANSWER_AFTER_KEY : MUTTER_FAILED;
}

} // namespace

MutterOutcome pressMutter(const LinuxKey &key) {
    /* mutter passes on one press of a key that two sessions hold down at
     * once, as a keyboard would: runs started at once take the compositor's
     * turn, before the bound of the press starts. */
    Turn turn = takeTurn();
    /* No SA_RESTART: the timer ends a blocked connect with EINTR. */
    struct sigaction end = {}, previous = {};
    end.sa_handler = endPress;
    sigaction(SIGALRM, &end, &previous);
    itimerval once = {{0, 0}, {ANSWER_MS / 1000, ANSWER_MS % 1000 * 1000}};
    setitimer(ITIMER_REAL, &once, nullptr);
    Call c = {};
    c.deadline = nowMs() + ANSWER_MS;
    c.bus = sessionBus();
    MutterOutcome outcome = MUTTER_NO_BUS;
    if (c.bus) {
        int fd = -1;
        dbus_connection_get_socket(c.bus, &fd);
        busSocket = fd;
        dbus_connection_set_exit_on_disconnect(c.bus, false);
        outcome = timeIsUp ? MUTTER_NO_ANSWER : press(c, key);
    }
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    busSocket = -1;
    if (c.bus) {
        dbus_connection_close(c.bus);
        dbus_connection_unref(c.bus);
    }
    giveTurnBack(turn);
    return outcome;
}
