/* The keeper: the process that a run leaves behind after its press, holding
 * the keyboard (and the lock on the node) for the presses that follow, as a
 * held remote button repeats, so that readers need not take a new keyboard
 * for each.  It presses only what runs of its own user hand it, only while
 * that user may still open the node and readers still have the keyboard,
 * and ends once no press came for a while. */
#include "uinput.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace uinput {

namespace {

/* A held button repeats every 100 ms or so, and a user presses again within
 * a second or two; 2 s of no press ends the burst.  A one-shot press cost
 * 130 to 240 ms under emulation, mostly in its readers' taking the new
 * keyboard. */
const int KEEP_MS = 2000;
/* Readers that read the keyboard before read each key within ms; a press not
 * read by then is reported as a run's is. */
const int READ_MS = 2000;
/* A reader busy elsewhere (sway setting up a keyboard took 480 ms under
 * load) reads only once back in its loop, and its queue on the keyboard
 * holds 16 keystrokes: the next key waits until the readers are back, or
 * this long after the last. */
const int SETTLE_MS = 500;
const int SETTLE_RETRY_MS = 2;
/* A reader handed the node by the process that opened it (sway by seatd, a
 * desktop by logind) has it only after that open, and a key written before
 * it set its clock on the node is lost to it: the holders are looked for
 * this many paces after an open. */
const int HANDED_PACES = 2;
/* Runs at once beyond these wait for a place, as in the socket's backlog. */
const int MAX_RUNS = 32;
const int BACKLOG = 64;

struct Run {
    int fd;
    uint16_t code;
    bool coded; /* its code came */
};

struct Keeper {
    Press &p;
    const char *node;
    int listener;
    sockaddr_un address;
    ino_t socketInode;
    int grantWatch;
    Run runs[MAX_RUNS];
    int count;
    int serving; /* the run whose key is being pressed, or -1 */
    long long readBy;
    long long settleBy; /* the readers' time to come back to their loops */
    long long idleUntil;
    bool holdersKnown; /* the readers were looked for since the last open */
};

void say(int fd, KeeperWord word) {
    char byte = word;
    send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void drop(Keeper &k, int run) {
    close(k.runs[run].fd);
    std::copy(k.runs + run + 1, k.runs + k.count, k.runs + run);
    --k.count;
    if (k.serving > run)
        --k.serving;
    else if (k.serving == run)
        k.serving = -1;
}

/* Nothing may be pressed after this: the socket and the keyboard go first,
 * so that the runs told to press themselves find the lock free. */
[[noreturn]] void quit(Keeper &k) {
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

bool pressable(uint16_t code) {
    for (size_t i = 0; i < linuxKeyCount; ++i)
        if (linuxKeys[i].evdevCode == code)
            return true;
    return false;
}

void answer(Keeper &k, KeeperWord word) {
    say(k.runs[k.serving].fd, word);
    drop(k, k.serving);
    k.idleUntil = nowMs() + KEEP_MS;
    k.settleBy = nowMs() + SETTLE_MS;
}

/* The run being served gets its answer, and then nothing more. */
[[noreturn]] void quitAnswering(Keeper &k, KeeperWord word) {
    if (k.serving >= 0)
        answer(k, word);
    quit(k);
}

/* Starts the press of the first run whose code came, once the readers are
 * back in their loops, or ends the keeper where it may press no more.
 * Returns when to look again. */
long long serveNext(Keeper &k) {
    int next = 0;
    while (next < k.count && !k.runs[next].coded)
        ++next;
    long long now = nowMs();
    if (next == k.count) {
        if (k.count == 0 && now >= k.idleUntil)
            quit(k);
        return k.idleUntil;
    }
    if (!granted(k) || k.p.open == 0)
        quit(k);
    if (!k.holdersKnown) {
        long long handedBy = k.p.lastOpenAt + HANDED_PACES * pace(k.p);
        if (now < handedBy)
            return handedBy;
        findHolders(k.p);
        k.holdersKnown = true;
        k.settleBy = std::max(k.settleBy, now + SETTLE_MS);
    }
    if (now < k.settleBy && !readersInLoops(k.p))
        return now + SETTLE_RETRY_MS;
    k.serving = next;
    if (!pressable(k.runs[next].code)) {
        answer(k, KEEPER_REFUSED);
        return now;
    }
    k.p.code = k.runs[next].code;
    k.p.stage = RELEASE_SENT;
    k.readBy = now + READ_MS;
    if (!writeKeystroke(k.p.uinput, k.p.code))
        quitAnswering(k, KEEPER_REFUSED);
    return k.readBy;
}

/* A run that hung up before its key was pressed is dropped, and its key is
 * never pressed; one whose key is being pressed is heard no more. */
void hearRun(Keeper &k, int run) {
    uint16_t code;
    ssize_t length = recv(k.runs[run].fd, &code, sizeof code, MSG_DONTWAIT);
    if (length == static_cast<ssize_t>(sizeof code) && !k.runs[run].coded) {
        k.runs[run].code = code;
        k.runs[run].coded = true;
    } else if (length >= 0 || (errno != EAGAIN && errno != EINTR)) {
        drop(k, run);
    }
}

/* Each run is told at once that its code is taken; the code is there
 * already as a rule. */
void takeRuns(Keeper &k) {
    int fd;
    while (k.count < MAX_RUNS &&
           (fd = accept4(k.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        if (!thisUser(fd)) {
            close(fd);
            continue;
        }
        k.runs[k.count++] = {fd, 0, false};
        say(fd, KEEPER_HELLO);
        hearRun(k, k.count - 1);
    }
}

void hearRuns(Keeper &k, const pollfd *fds) {
    for (int run = k.count - 1; run >= 0; --run)
        if (fds[run].revents)
            hearRun(k, run);
}

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
    for (int fd : own) {
        unsigned at = static_cast<unsigned>(fd);
        if (fd < 3 || at < from)
            continue;
        if (at > from)
            close_range(from, at - 1, 0);
        from = at + 1;
    }
    close_range(from, ~0U, 0);
}

} // namespace

/* Leaves a keeper with the device of a press that was read, listening where
 * this user's runs look for it.  True where one took the device, which the
 * run then leaves as it is. */
bool keep(Press &p, const char *node) {
    Keeper k = {p, node, -1, {}, 0, -1, {}, 0, -1, 0, 0, 0, false};
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
    p.stage = DONE;
    k.idleUntil = nowMs() + KEEP_MS;
    k.settleBy = nowMs() + SETTLE_MS;
    serve(k);
}

} // namespace uinput
