/* The keeper's side of its conversation with the runs that hand it their
 * keys (hand.cpp has theirs): each connection is told hello as it is taken,
 * its code is read, and its key is pressed once the keyboard's readers are
 * back in their loops and the run is still there to hear how it went. */
#include "keeper.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace uinput {

namespace {

/* A run sends its code with its connection: one whose code has not come
 * this long after the keeper took it (a run stopped between the two, a
 * stray client) is told to press itself, so that no connection keeps the
 * keeper from ending. */
const int CODE_MS = 500;
/* Readers that read the keyboard before read each key within ms, or as
 * late as a stuck machine lets them. */
const int READ_MS = STUCK_MS;
const int SETTLE_RETRY_MS = 2;
/* A reader handed the node by the process that opened it (sway by seatd, a
 * desktop by logind) has it only after that open, and a key written before
 * it set its clock on the node is lost to it: the holders are looked for
 * this many paces after an open. */
const int HANDED_PACES = 2;

void drop(Keeper &k, int run) {
    close(k.runs[run].fd);
    std::copy(k.runs + run + 1, k.runs + k.count, k.runs + run);
    --k.count;
    if (k.serving > run)
        --k.serving;
    else if (k.serving == run)
        k.serving = -1;
}

bool pressable(uint16_t code) {
    for (size_t i = 0; i < linuxKeyCount; ++i)
        if (linuxKeys[i].evdevCode == code)
            return true;
    return false;
}

/* Whether the run closed its end: it gave up, and will never hear that its
 * key went. */
bool hungUp(int fd) {
    pollfd fds = {fd, POLLRDHUP, 0};
    return poll(&fds, 1, 0) != 0 && (fds.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

/* Drops the runs whose codes did not come in time; returns when the next of
 * the others would be. */
long long dropSilent(Keeper &k, long long now) {
    long long next = k.idleUntil;
    for (int run = k.count - 1; run >= 0; --run) {
        if (k.runs[run].coded)
            continue;
        if (now >= k.runs[run].codeUntil) {
            say(k.runs[run].fd, KEEPER_GONE);
            drop(k, run);
        } else if (k.runs[run].codeUntil < next) {
            next = k.runs[run].codeUntil;
        }
    }
    return next;
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

} // namespace

void say(int fd, KeeperWord word) {
    char byte = word;
    send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void answer(Keeper &k, KeeperWord word) {
    say(k.runs[k.serving].fd, word);
    drop(k, k.serving);
    k.idleUntil = nowMs() + KEEP_MS;
    k.settleFrom = nowMs();
}

/* The run being served gets its answer, and then nothing more. */
void quitAnswering(Keeper &k, KeeperWord word) {
    if (k.serving >= 0)
        answer(k, word);
    quit(k);
}

/* Starts the press of the first run whose code came, once the readers are
 * back in their loops, or ends the keeper where it may press no more.
 * Returns when to look again, never a time gone by. */
long long serveNext(Keeper &k) {
    long long now = nowMs();
    long long silentUntil = dropSilent(k, now);
    int next = 0;
    while (next < k.count && !k.runs[next].coded)
        ++next;
    if (next == k.count) {
        if (now >= k.idleUntil)
            quit(k);
        return silentUntil;
    }
    if (!granted(k) || k.p.open == 0)
        quit(k);
    if (!k.holdersKnown) {
        long long handedBy = k.p.lastOpenAt + HANDED_PACES * pace(k.p);
        if (now < handedBy)
            return std::min(handedBy, silentUntil);
        findHolders(k.p);
        k.holdersKnown = true;
        k.settleFrom = now;
        k.unsettled = UNSETTLED_KEYS;
    }
    /* The look at the readers' threads is made only once it matters. */
    if (k.unsettled >= UNSETTLED_KEYS) {
        if (readersInLoops(k.p))
            k.unsettled = 0;
        else if (now < k.settleFrom + STUCK_MS)
            return now + SETTLE_RETRY_MS;
    }
    if (hungUp(k.runs[next].fd)) {
        drop(k, next);
        return now;
    }
    k.serving = next;
    if (!pressable(k.runs[next].code)) {
        answer(k, KEEPER_REFUSED);
        return now;
    }
    k.p.code = k.runs[next].code;
    k.p.stage = RELEASE_SENT;
    k.readBy = now + READ_MS;
    ++k.unsettled;
    if (!writeKeystroke(k.p.uinput, k.p.code))
        quitAnswering(k, KEEPER_REFUSED);
    return k.readBy;
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
        k.runs[k.count++] = {fd, 0, false, nowMs() + CODE_MS};
        say(fd, KEEPER_HELLO);
        hearRun(k, k.count - 1);
    }
}

void hearRuns(Keeper &k, const pollfd *fds) {
    for (int run = k.count - 1; run >= 0; --run)
        if (fds[run].revents)
            hearRun(k, run);
}

} // namespace uinput
