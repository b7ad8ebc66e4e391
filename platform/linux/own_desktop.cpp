/* A run started outside its user's session (a unit, a cron job, an SSH
 * login) has no variable that names a display, though the user's desktop may
 * be running.  This finds it as a user's own tools would: in the user's
 * runtime directory, and the user's own X server, and names it in the
 * variables that the ways read, so that they press there exactly as inside
 * the session. */
#include "press.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char WAYLAND_PREFIX[] = "wayland-";

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

/* Whether logind says that the user's graphical session is an X11 one;
 * without logind's word, Wayland goes first, as on most desktops today. */
bool sessionIsX11() {
    char path[96], session[64], type[16];
    snprintf(path, sizeof path, "/run/systemd/users/%u", static_cast<unsigned>(getuid()));
    if (!logindValue(path, "DISPLAY", session, sizeof session) || strchr(session, '/'))
        return false;
    snprintf(path, sizeof path, "/run/systemd/sessions/%s", session);
    return logindValue(path, "TYPE", type, sizeof type) && strcmp(type, "x11") == 0;
}

/* The first compositor socket of dir, by name, that this user owns and that
 * answers: a compositor that crashed leaves its socket behind. */
bool findOwnCompositor(const char *dir) {
    DIR *entries = opendir(dir);
    if (!entries)
        return false;
    char best[sizeof(sockaddr_un::sun_path)] = "";
    while (const dirent *entry = readdir(entries)) {
        const char *name = entry->d_name;
        if (strncmp(name, WAYLAND_PREFIX, sizeof WAYLAND_PREFIX - 1) != 0 || strchr(name, '.'))
            continue;
        if (best[0] && strcmp(name, best) >= 0)
            continue;
        char path[sizeof(sockaddr_un::sun_path)];
        int length = snprintf(path, sizeof path, "%s/%s", dir, name);
        if (length > 0 && static_cast<size_t>(length) < sizeof path && ownSocketAnswers(path))
            memcpy(best, name, strlen(name) + 1);
    }
    closedir(entries);
    return best[0] && setenv("WAYLAND_DISPLAY", best, 1) == 0;
}

} // namespace

bool ownSocketAnswers(const char *path) {
    struct stat status;
    if (lstat(path, &status) != 0 || !S_ISSOCK(status.st_mode) || status.st_uid != getuid())
        return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path)
        return false;
    strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    /* A full queue is a server that is there but busy. */
    bool answers = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ||
                   errno == EAGAIN;
    close(fd);
    return answers;
}

bool findOwnDesktop(char *runtimeDir, size_t size) {
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
    bool x11First = sessionIsX11();
    if (own && !x11First && findOwnCompositor(runtimeDir))
        return true;
    if (findOwnXServer(own ? runtimeDir : nullptr))
        return true;
    return own && x11First && findOwnCompositor(runtimeDir);
}
