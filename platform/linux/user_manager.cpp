/* What the user's service manager tells its units about the desktop: the
 * display variables that GNOME, KDE Plasma and Debian's sway configuration
 * put in its environment, so that a unit finds the display the user sees
 * rather than the first one there is.  Asked over the user's own bus, whose
 * other end must be the user's, as libdbus finds the bus without a
 * DBUS_SESSION_BUS_ADDRESS: the socket "bus" in the runtime directory. */
#include "press.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <dbus/dbus.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

const char MANAGER_SERVICE[] = "org.freedesktop.systemd1";
const char MANAGER_OBJECT[] = "/org/freedesktop/systemd1";
const char MANAGER_INTERFACE[] = "org.freedesktop.systemd1.Manager";
const char PROPERTIES_INTERFACE[] = "org.freedesktop.DBus.Properties";

/* The manager answers within milliseconds; one that stopped leaves the
 * search to find the desktop, after each call's bound or the whole one's. */
const int ANSWER_MS = 1000;
const time_t ASKING_SECONDS = 2;

/* libdbus waits without a bound for the bus to take the connection and for
 * its first answers: the timer shuts the connection down, which ends any
 * wait on it. */
volatile sig_atomic_t busSocket = -1;

void endAsking(int) {
    if (busSocket >= 0)
        shutdown(busSocket, SHUT_RDWR);
}

/* Takes value into field where entry is NAME=value; false where the value
 * does not fit. */
bool take(const char *entry, const char *name, char *field, size_t size) {
    size_t length = strlen(name);
    if (strncmp(entry, name, length) != 0 || entry[length] != '=')
        return true;
    return snprintf(field, size, "%s", entry + length + 1) < static_cast<int>(size);
}

bool readEnvironment(DBusMessage *reply, ManagerRecord &record) {
    DBusMessageIter variant, array, entries;
    if (!dbus_message_iter_init(reply, &variant) ||
        dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_VARIANT)
        return false;
    dbus_message_iter_recurse(&variant, &array);
    if (dbus_message_iter_get_arg_type(&array) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&array) != DBUS_TYPE_STRING)
        return false;
    dbus_message_iter_recurse(&array, &entries);
    bool fits = true;
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_STRING;
         dbus_message_iter_next(&entries)) {
        const char *entry = nullptr;
        dbus_message_iter_get_basic(&entries, &entry);
        fits = fits && take(entry, "WAYLAND_DISPLAY", record.wayland, sizeof record.wayland) &&
               take(entry, "DISPLAY", record.display, sizeof record.display) &&
               take(entry, "XAUTHORITY", record.cookie, sizeof record.cookie);
    }
    return fits && (record.wayland[0] || record.display[0]);
}

/* The bus's welcome, which every client sends first, then the manager's
 * environment. */
bool ask(DBusConnection *bus, ManagerRecord &record) {
    DBusMessage *hello = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                      DBUS_INTERFACE_DBUS, "Hello");
    DBusMessage *reply =
        hello ? dbus_connection_send_with_reply_and_block(bus, hello, ANSWER_MS, nullptr) : nullptr;
    if (hello)
        dbus_message_unref(hello);
    if (!reply)
        return false;
    dbus_message_unref(reply);
    DBusMessage *get =
        dbus_message_new_method_call(MANAGER_SERVICE, MANAGER_OBJECT, PROPERTIES_INTERFACE, "Get");
    const char *interface = MANAGER_INTERFACE, *property = "Environment";
    if (!get || !dbus_message_append_args(get, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                          &property, DBUS_TYPE_INVALID)) {
        if (get)
            dbus_message_unref(get);
        return false;
    }
    reply = dbus_connection_send_with_reply_and_block(bus, get, ANSWER_MS, nullptr);
    dbus_message_unref(get);
    if (!reply)
        return false;
    bool named = readEnvironment(reply, record);
    dbus_message_unref(reply);
    return named;
}

} // namespace

bool userBus(const char *dir, char *path, char *address, size_t size) {
    int length = snprintf(path, sizeof(sockaddr_un::sun_path), "%s/bus", dir);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(sockaddr_un::sun_path))
        return false;
    char *escaped = dbus_address_escape_value(path);
    if (!escaped)
        return false;
    length = snprintf(address, size, "unix:path=%s", escaped);
    dbus_free(escaped);
    return length > 0 && static_cast<size_t>(length) < size;
}

bool askManager(const char *runtimeDir, ManagerRecord &record) {
    record = {};
    char path[sizeof(sockaddr_un::sun_path)];
    char address[sizeof path * 3 + 16];
    if (!userBus(runtimeDir, path, address, sizeof address) || !ownSocketAnswers(path))
        return false;

    /* No SA_RESTART: the timer ends a blocked call. */
    struct sigaction end = {}, previous = {};
    end.sa_handler = endAsking;
    sigaction(SIGALRM, &end, &previous);
    itimerval once = {{0, 0}, {ASKING_SECONDS, 0}};
    setitimer(ITIMER_REAL, &once, nullptr);
    DBusConnection *bus = dbus_connection_open_private(address, nullptr);
    bool named = false;
    if (bus) {
        int fd = -1;
        dbus_connection_set_exit_on_disconnect(bus, false);
        /* The connection asked on is the one whose other end is checked. */
        if (dbus_connection_get_socket(bus, &fd) && peerIsOwn(fd)) {
            busSocket = fd;
            named = ask(bus, record);
        }
    }
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    busSocket = -1;
    if (bus) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
    }
    return named;
}
