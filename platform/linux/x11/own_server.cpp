/* The X server of the program's own user, for a run that no DISPLAY names
 * one to: a server that runs as the user (GNOME's Xorg, startx, Xvfb or
 * XWayland) owns its socket, and its cookie is where the display manager
 * leaves it. */
#include "../press.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char SOCKET_DIR[] = "/tmp/.X11-unix";

/* Where display managers put the cookie: GDM in the runtime directory (where
 * the user has one), the others (and startx) in the home directory; or
 * where a record names it. */
void nameCookie(const char *runtimeDir, const char *named) {
    const char *set = getenv("XAUTHORITY");
    if (set && set[0])
        return;
    char path[4096] = "";
    if (named && named[0])
        snprintf(path, sizeof path, "%s", named);
    else if (runtimeDir)
        snprintf(path, sizeof path, "%s/gdm/Xauthority", runtimeDir);
    if (!(named && named[0]) && (!path[0] || access(path, R_OK) != 0)) {
        const char *home = getenv("HOME");
        if (!home || !home[0])
            return;
        snprintf(path, sizeof path, "%s/.Xauthority", home);
        if (access(path, R_OK) != 0)
            return;
    }
    setenv("XAUTHORITY", path, 1);
}

} // namespace

bool xServerSocket(long number, sockaddr_un &address) {
    address.sun_family = AF_UNIX;
    int length = snprintf(address.sun_path, sizeof address.sun_path, "%s/X%ld", SOCKET_DIR, number);
    return number >= 0 && length > 0 && static_cast<size_t>(length) < sizeof address.sun_path;
}

long findOwnXServer(const char *runtimeDir) {
    DIR *entries = opendir(SOCKET_DIR);
    if (!entries)
        return -1;
    long best = -1;
    while (const dirent *entry = readdir(entries)) {
        const char *digits = entry->d_name + 1;
        if (entry->d_name[0] != 'X' || !*digits || strspn(digits, "0123456789") != strlen(digits))
            continue;
        long number = strtol(digits, nullptr, 10);
        if (best >= 0 && number >= best)
            continue;
        sockaddr_un address = {};
        if (xServerSocket(number, address) && ownSocketAnswers(address.sun_path))
            best = number;
    }
    closedir(entries);
    if (best >= 0)
        nameCookie(runtimeDir, nullptr);
    return best;
}

bool ownXServerAnswers(long number, const char *runtimeDir, const char *cookie) {
    sockaddr_un address = {};
    if (!xServerSocket(number, address) || !ownSocketAnswers(address.sun_path))
        return false;
    nameCookie(runtimeDir, cookie);
    return true;
}

/* Only a display of this machine has a socket whose listener can be asked:
 * ":N", ":N.S", "unix:N". */
long localDisplayNumber(const char *display) {
    if (strncmp(display, "unix:", 5) == 0)
        display += 4;
    if (display[0] != ':' || !isdigit(static_cast<unsigned char>(display[1])))
        return -1;
    char *end = nullptr;
    long number = strtol(display + 1, &end, 10);
    if (*end == '.' && isdigit(static_cast<unsigned char>(end[1])))
        strtol(end + 1, &end, 10);
    return *end ? -1 : number;
}
