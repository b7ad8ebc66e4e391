/* The turn that runs pressing through one compositor at once take, so that
 * one press's keys never interleave with another's: a lock on a file beside
 * the compositor's socket, which the kernel releases when a run ends however
 * it ends. */
#include "press.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char TURN_SUFFIX[] = ".mediakey.lock";
/* Several runs that each wait for their keyboard's clients may be ahead;
 * past this, the run goes on without its turn. */
const long long TURN_WAIT_MS = 2000;
/* The lock is taken by a blocking call, woken this often to look at the
 * clock. */
const long TURN_CHECK_US = 50000;

void wakeUp(int) {}

} // namespace

/* No turn where there is no lock file to be had, as where the socket's
 * directory is another's: others cannot take one there either. */
Turn takeTurn() {
    sockaddr_un socket = {};
    if (!waylandSocket(socket))
        return {-1, false};
    char path[sizeof socket.sun_path + sizeof TURN_SUFFIX];
    snprintf(path, sizeof path, "%s%s", socket.sun_path, TURN_SUFFIX);
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

void giveTurnBack(Turn &turn) {
    if (turn.fd >= 0)
        close(turn.fd);
    turn.fd = -1;
}
