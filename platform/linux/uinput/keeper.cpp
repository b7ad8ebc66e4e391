/* The keeper: the process that a run leaves behind after its press, holding
 * the keyboard (and the lock on the node) for the presses that follow, as a
 * held remote button repeats, so that readers need not take a new keyboard
 * for each.  It presses only what runs of its own user hand it, only while
 * that user may still open the node and readers still have the keyboard,
 * and ends once no press came for a while, whatever its connections do. */
#include "keeper.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uinput {

namespace {

const int BACKLOG = 64;

/* The keyboard's readers and the node's grant, from inotify. */
void hearKernel(Keeper &k) {
    alignas(inotify_event) char buffer[4096];
    ssize_t length;
    while ((length = read(k.p.notify, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof *event + event->len);
            if (event->wd == k.grantWatch) {
                if (!granted(k))
                    quit(k);
            } else if (event->wd == k.p.nodeWatch && (event->mask & IN_OPEN)) {
                /* A new reader: one more process to wait for. */
                take(k.p, *event);
                k.holdersKnown = false;
            } else if (!take(k.p, *event)) {
                /* A press without its release would leave the key held:
                 * the keyboard goes with it. */
                quitAnswering(k, KEEPER_REFUSED);
            }
        }
    /* The compositor stopped: the next press would go nowhere, and a key-down
     * nobody read goes with the keyboard, for its run to press itself. */
    if (k.p.open == 0 && (k.serving < 0 || k.p.stage == RELEASE_SENT))
        quit(k);
}

/* A run is answered once a reader read its keystroke, which the readers
 * took from the keyboard they already hold. */
[[noreturn]] void serve(Keeper &k) {
    for (;;) {
        if (k.serving >= 0 && k.p.stage >= LINGERING)
            answer(k, KEEPER_PRESSED);
        if (k.serving >= 0 && nowMs() >= k.readBy)
            quitAnswering(k, KEEPER_UNREAD);
        long long wakeAt = k.serving >= 0 ? k.readBy : serveNext(k);
        pollfd fds[MAX_RUNS + 2];
        for (int run = 0; run < k.count; ++run)
            fds[run] = {run == k.serving ? -1 : k.runs[run].fd, POLLIN, 0};
        fds[k.count] = {k.p.notify, POLLIN, 0};
        fds[k.count + 1] = {k.count < MAX_RUNS ? k.listener : -1, POLLIN, 0};
        long long left = wakeAt - nowMs();
        int runs = k.count;
        if (poll(fds, static_cast<nfds_t>(runs + 2), static_cast<int>(left > 0 ? left : 0)) < 0 &&
            errno != EINTR)
            quitAnswering(k, KEEPER_REFUSED);
        hearRuns(k, fds);
        if (fds[runs].revents)
            hearKernel(k);
        if (fds[runs + 1].revents)
            takeRuns(k);
    }
}

/* Closes every descriptor from `from` on but those in `own` (sorted), one
 * by one from the list the kernel gives, where it has no call for ranges
 * (before Linux 5.9). */
void closeListed(unsigned from, const int *own, size_t count) {
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    /* Closing while reading the list may skip entries: the list is read
     * whole first, as far as it fits, and read again while any is left. */
    for (bool closedAny = true; closedAny;) {
        closedAny = false;
        int listed[256];
        size_t n = 0;
        alignas(dirent64) char buffer[4096];
        lseek(dir, 0, SEEK_SET);
        ssize_t length;
        while (n < std::size(listed) && (length = getdents64(dir, buffer, sizeof buffer)) > 0)
            for (ssize_t at = 0; at < length && n < std::size(listed);) {
                const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
                at += entry->d_reclen;
                char *end;
                long fd = strtol(entry->d_name, &end, 10);
                if (*end == '\0' && end != entry->d_name && fd >= static_cast<long>(from) &&
                    fd != dir && !std::binary_search(own, own + count, static_cast<int>(fd)))
                    listed[n++] = static_cast<int>(fd);
            }
        for (size_t i = 0; i < n; ++i)
            closedAny = close(listed[i]) == 0 || closedAny;
    }
    close(dir);
}

/* Every descriptor but the keeper's own goes: a caller that reads the run's
 * output to its end, or waits on any pipe it gave the run, is not held. */
void closeAllBut(int &a, int &b, int &c) {
    /* A run started with standard streams closed has its own in their place. */
    for (int *fd : {&a, &b, &c})
        if (*fd < 3) {
            int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
            close(*fd);
            *fd = moved;
        }
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; ++fd)
        dup2(null, fd);
    int own[] = {a, b, c};
    std::sort(own, own + 3);
    unsigned from = 3;
    bool ranges = true;
    for (int fd : own) {
        unsigned at = static_cast<unsigned>(fd);
        if (fd < 3 || at < from)
            continue;
        if (at > from)
            ranges = close_range(from, at - 1, 0) == 0 && ranges;
        from = at + 1;
    }
    if (close_range(from, ~0U, 0) != 0 || !ranges)
        closeListed(3, own, 3);
}

} // namespace

/* Nothing may be pressed after this: the socket and the keyboard go first,
 * so that the runs told to press themselves find the lock free. */
void quit(Keeper &k) {
    close(k.listener);
    struct stat status;
    if (lstat(k.address.sun_path, &status) == 0 && status.st_ino == k.socketInode)
        unlink(k.address.sun_path);
    destroyDevice(k.p.uinput);
    close(k.p.uinput);
    for (int run = 0; run < k.count; ++run)
        say(k.runs[run].fd, KEEPER_GONE);
    _exit(0);
}

/* The grant is an ACL that logind moves to the active session's user, and
 * only an open checks it. */
bool granted(const Keeper &k) {
    return access(k.node, W_OK) == 0;
}

/* Leaves a keeper with the device of a press that was read, listening where
 * this user's runs look for it.  True where one took the device, which the
 * run then leaves as it is. */
bool keep(Press &p, const char *node) {
    Keeper k = {p, node, -1, {}, 0, -1, {}, 0, -1, 0, 0, UNSETTLED_KEYS, 0, false};
    if (!keeping() || !keeperPlace(k.address, true))
        return false;
    k.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (k.listener < 0)
        return false;
    /* The lock on the node, held since before the press, keeps any other
     * keeper from living: a socket there is a dead one's.  The socket gets
     * its name once it listens, so that the runs that its name wakes find it
     * listening. */
    sockaddr_un fresh = k.address;
    if (snprintf(fresh.sun_path, sizeof fresh.sun_path, "%s%s", k.address.sun_path,
                 KEEPER_FRESH_SUFFIX) >= static_cast<int>(sizeof fresh.sun_path)) {
        close(k.listener);
        return false;
    }
    unlink(k.address.sun_path);
    unlink(fresh.sun_path);
    struct stat status;
    pid_t pid = -1;
    if (bind(k.listener, reinterpret_cast<sockaddr *>(&fresh), sizeof fresh) == 0 &&
        lstat(fresh.sun_path, &status) == 0 && listen(k.listener, BACKLOG) == 0 &&
        rename(fresh.sun_path, k.address.sun_path) == 0) {
        k.socketInode = status.st_ino;
        k.grantWatch = inotify_add_watch(p.notify, node, IN_ATTRIB);
        pid = fork();
    }
    if (pid != 0) {
        close(k.listener);
        if (pid < 0) {
            unlink(fresh.sun_path);
            unlink(k.address.sun_path);
        }
        return pid > 0;
    }
    setsid();
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    if (chdir("/") != 0)
        _exit(0);
    closeAllBut(p.uinput, p.notify, k.listener);
    p.monitor = -1;
    /* Where the run found one reading process among udevd's listeners and
     * it holds the node, the reads of the run's key were its own: it is the
     * holder that the keys wake, and the first key need not wait two paces
     * after the open for a reader still to be handed the node (most of
     * 150 ms under emulation) nor look at every process.  Otherwise the
     * holders are looked for as a key comes. */
    k.holdersKnown = soleReaderHolds(p);
    p.stage = DONE;
    k.idleUntil = nowMs() + KEEP_MS;
    k.settleFrom = nowMs();
    serve(k);
}

} // namespace uinput
