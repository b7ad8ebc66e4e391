/* A run's side of the keeper: where this user's keeper listens, and the key
 * handed to it there.  The socket lies in a directory that only this user
 * may enter, and the keeper's credentials are checked all the same. */
#include "uinput.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace uinput {

namespace {

/* A keeper serves the runs that came at once one after another. */
const int ANSWER_MS = BEHIND_MS;
/* Root's keeper has a directory of its own: services run without a runtime
 * directory, and root's sessions each with their own. */
const char ROOT_DIR[] = "/run/mediakey";
const char SOCKET_NAME[] = "mediakey-uinput";

/* A directory that this user owns and that no one else may enter. */
bool privateDir(const char *path) {
    struct stat status;
    return lstat(path, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == getuid() &&
           (status.st_mode & 077) == 0;
}

/* The next word of the keeper: 0 where it closed the connection, -1 where
 * none came within `ms`. */
int hear(int fd, int ms) {
    long long deadline = nowMs() + ms;
    for (;;) {
        pollfd fds = {fd, POLLIN, 0};
        long long left = deadline - nowMs();
        if (poll(&fds, 1, static_cast<int>(left > 0 ? left : 0)) <= 0 && nowMs() >= deadline)
            return -1;
        char word;
        ssize_t length = recv(fd, &word, 1, MSG_DONTWAIT);
        if (length == 1)
            return word;
        if (length == 0 || (errno != EAGAIN && errno != EINTR))
            return 0;
    }
}

} // namespace

/* Whether the process at the other end of socket fd is of this user. */
bool thisUser(int fd) {
    ucred peer = {};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid();
}

bool keeping() {
    const char *oneShot = getenv("MEDIAKEY_ONE_SHOT");
    return !oneShot || !*oneShot;
}

/* Where this user's keeper listens: false where there is no place that only
 * this user reaches.  A keeper makes root's directory, as does a press that
 * remembers its readers there. */
bool keeperPlace(sockaddr_un &address, bool make) {
    /* Room for the name, with the keeper's suffix while it sets up. */
    char dir[sizeof address.sun_path - sizeof SOCKET_NAME - sizeof KEEPER_FRESH_SUFFIX];
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (getuid() == 0) {
        if (make)
            mkdir(ROOT_DIR, 0700);
        snprintf(dir, sizeof dir, "%s", ROOT_DIR);
    } else if (runtime && *runtime) {
        if (snprintf(dir, sizeof dir, "%s", runtime) >= static_cast<int>(sizeof dir))
            return false;
    } else {
        snprintf(dir, sizeof dir, "/run/user/%u", getuid());
    }
    if (!privateDir(dir))
        return false;
    address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir, SOCKET_NAME);
    return true;
}

/* Watches for this user's keeper to start listening: its socket gets its
 * name then. */
bool watchKeeperPlace(int notify) {
    sockaddr_un address;
    if (!keeperPlace(address, false))
        return false;
    *strrchr(address.sun_path, '/') = '\0';
    return inotify_add_watch(notify, address.sun_path, IN_MOVED_TO) >= 0;
}

/* Hands the key to this user's keeper where there is one.  The keeper says
 * hello as it takes the connection, before it reads the code, and a
 * connection it never took goes with its code unread: a run whose code was
 * not taken presses itself, and one whose code was taken never does, so each
 * key is pressed once.  A keeper that takes no connection for that long is
 * stuck, and presses no key of a run that hung up.  False where the run
 * presses itself; else `outcome` says how the keeper's press went. */
bool handToKeeper(uint16_t code, UinputOutcome &outcome) {
    sockaddr_un address;
    if (!keeping() || !keeperPlace(address, false))
        return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool handed = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && thisUser(fd) &&
        send(fd, &code, sizeof code, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof code)) {
        int word = hear(fd, ANSWER_MS);
        bool hello = word == KEEPER_HELLO;
        handed = word != 0;
        if (hello)
            word = hear(fd, ANSWER_MS);
        switch (word) {
        case KEEPER_PRESSED:
            outcome = UINPUT_PRESSED;
            break;
        case KEEPER_GONE:
            handed = false;
            break;
        case KEEPER_REFUSED:
            outcome = UINPUT_REFUSED;
            break;
        case KEEPER_UNREAD:
            outcome = UINPUT_STUCK;
            break;
        default:
            outcome = hello ? UINPUT_KEEPER_LOST : UINPUT_BUSY;
        }
    }
    close(fd);
    return handed;
}

} // namespace uinput
