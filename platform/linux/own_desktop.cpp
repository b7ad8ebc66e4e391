/* A run started outside its user's session (a unit, a cron job, an SSH
 * login) has no variable that names a display, though the user's desktop may
 * be running.  The desktop's own record goes first, since it names the
 * display the user sees: the user's service manager's, then logind's.  Else
 * this asks each way's finder, in the order the session's kind suggests.
 * The ways then press there as inside the session: a compositor goes into
 * WAYLAND_DISPLAY as libwayland would read it, an X server is handed on by
 * its number, since a display name is what another user's socket may answer
 * to. */
#include "press.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* The value of key in one of logind's state files, lines of KEY=VALUE. */
bool logindValue(const char *path, const char *key, char *value, size_t size) {
    FILE *file = fopen(path, "re");
    if (!file)
        return false;
    char line[256];
    size_t keyLength = strlen(key);
    bool found = false;
    while (!found && fgets(line, sizeof line, file)) {
        if (strncmp(line, key, keyLength) != 0 || line[keyLength] != '=')
            continue;
        snprintf(value, size, "%s", line + keyLength + 1);
        value[strcspn(value, "\n")] = '\0';
        found = true;
    }
    fclose(file);
    return found;
}

/* Whether logind says that the user's graphical session is an X11 one, and
 * in server the number of the X display it records for it, or -1; without
 * logind's word, Wayland goes first, as on most desktops today. */
bool sessionIsX11(long &server) {
    char path[96], session[64], type[16], display[64];
    server = -1;
    snprintf(path, sizeof path, "/run/systemd/users/%u", static_cast<unsigned>(getuid()));
    if (!logindValue(path, "DISPLAY", session, sizeof session) || strchr(session, '/'))
        return false;
    snprintf(path, sizeof path, "/run/systemd/sessions/%s", session);
    if (!logindValue(path, "TYPE", type, sizeof type) || strcmp(type, "x11") != 0)
        return false;
    if (logindValue(path, "DISPLAY", display, sizeof display))
        server = localDisplayNumber(display);
    return true;
}

/* The display that the user's service manager names, where it is this
 * user's own and answers: a desktop that ended may leave its name behind,
 * and then the search looks. */
bool managersDisplay(const char *runtimeDir, OwnDisplay &found) {
    ManagerRecord record;
    if (!askManager(runtimeDir, record))
        return false;
    found = {ORIGIN_MANAGER, -1};
    char path[sizeof(sockaddr_un::sun_path)];
    int length = record.wayland[0] == '/'
                     ? snprintf(path, sizeof path, "%s", record.wayland)
                     : snprintf(path, sizeof path, "%s/%s", runtimeDir, record.wayland);
    if (record.wayland[0] && length > 0 && static_cast<size_t>(length) < sizeof path &&
        ownSocketAnswers(path))
        return setenv("WAYLAND_DISPLAY", record.wayland, 1) == 0;
    found.xServer = localDisplayNumber(record.display);
    return found.xServer >= 0 && ownXServerAnswers(found.xServer, runtimeDir, record.cookie);
}

} // namespace

bool findOwnDesktop(OwnDisplay &found, char *runtimeDir, size_t size) {
    const char *dir = getenv("XDG_RUNTIME_DIR");
    if (dir && dir[0])
        snprintf(runtimeDir, size, "%s", dir);
    else
        snprintf(runtimeDir, size, "/run/user/%u", static_cast<unsigned>(getuid()));
    /* Another user's directory, or none, holds nothing of this user's; an X
     * server's socket lies elsewhere. */
    struct stat status;
    bool own =
        stat(runtimeDir, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == getuid();
    /* What the compositor's socket and mutter's session bus are found by. */
    if (own && !(dir && dir[0]) && setenv("XDG_RUNTIME_DIR", runtimeDir, 1) != 0)
        return false;
    if (own && managersDisplay(runtimeDir, found))
        return true;
    long logindsServer;
    bool x11First = sessionIsX11(logindsServer);
    found = {ORIGIN_LOGIND, logindsServer};
    if (logindsServer >= 0 && ownXServerAnswers(logindsServer, own ? runtimeDir : nullptr, nullptr))
        return true;
    found = {ORIGIN_SEARCH, -1};
    if (own && !x11First && findOwnCompositor(runtimeDir))
        return true;
    found.xServer = findOwnXServer(own ? runtimeDir : nullptr);
    if (found.xServer >= 0)
        return true;
    return own && x11First && findOwnCompositor(runtimeDir);
}
