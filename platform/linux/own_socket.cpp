/* The one test of a socket found on the machine that both searches use: a
 * name another user could have put there or bound first is the user's own
 * only once the kernel says so, by the socket's owner and by the process
 * that listens on it. */
#include "press.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

bool peerIsOwn(int fd) {
    ucred peer = {};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid();
}

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
    /* A full queue is a server that is there but busy; whose it is, the
     * press's own connection shows. */
    bool answers = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
                       ? peerIsOwn(fd)
                       : errno == EAGAIN;
    close(fd);
    return answers;
}
