/* The uinput node: opening it, and the lock on it that lets one run press at
 * a time.  libinput takes new devices one by one, and a burst of devices
 * outran it, so each run holds the lock from before its device exists until
 * after it is gone. */
#include "uinput.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace uinput {

namespace {

/* A queue that moves renews the wait at each run's close, up to
 * LOCK_QUEUE_MS in all: six presses at once, each with a reader that a udev
 * rule hands the node, took 80 s to the last on an emulated machine beside
 * two others. */
const int LOCK_MS = BEHIND_MS;
const int LOCK_QUEUE_MS = 120000;
/* A run waiting for the lock is woken by what it waits for; the retries only
 * make up for a report missed.  Where no watch could be made, it looks as
 * often as a press probes: a burst's waiting runs looking that often kept a
 * slow machine's readers from answering the first run's probes in time. */
const int LOCK_RETRY_MS = 100;
const char *const UINPUT_NODES[] = {"/dev/uinput", "/dev/input/uinput"};

} // namespace

/* The uinput node open for writing, or -1 and why not; `node` is its path. */
int openUinput(UinputOutcome &failure, const char *&node) {
    failure = UINPUT_MISSING;
    for (const char *path : UINPUT_NODES) {
        int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        node = path;
        if (fd >= 0)
            return fd;
        if (errno == EACCES || errno == EPERM)
            failure = UINPUT_DENIED;
    }
    return -1;
}

/* Takes the lock on the node that every run holds while its device lives,
 * waiting for the run that holds it: its close, which lets go of the lock,
 * wakes this one.  A keeper left by that run holds the lock on, and shares
 * the run's descriptor, whose close is then never reported: the key is
 * handed to it as soon as it listens, which its socket's name shows.  Where
 * the node cannot be locked at all, nothing waits.  The watch is made only
 * when needed, since closing it costs the kernel a grace period. */
Locked lockUinput(int fd, const char *node, uint16_t code, UinputOutcome &handed) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return LOCK_TAKEN;
    int closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    bool watched = closes >= 0 && inotify_add_watch(closes, node, IN_CLOSE_WRITE) >= 0 &&
                   (!keeping() || watchKeeperPlace(closes));
    long long start = nowMs(), deadline = start + LOCK_MS;
    Locked locked = LOCK_BUSY;
    while (nowMs() < deadline) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
            locked = LOCK_TAKEN;
            break;
        }
        if (handToKeeper(code, handed)) {
            locked = LOCK_HANDED;
            break;
        }
        pollfd fds = {closes, POLLIN, 0};
        poll(&fds, 1, watched ? LOCK_RETRY_MS : PROBE_RETRY_MS);
        alignas(inotify_event) char buffer[4096];
        bool moved = false;
        while (closes >= 0 && read(closes, buffer, sizeof buffer) > 0)
            moved = true;
        if (moved)
            deadline = std::min(nowMs() + LOCK_MS, start + LOCK_QUEUE_MS);
    }
    if (closes >= 0)
        close(closes);
    return locked;
}

} // namespace uinput
