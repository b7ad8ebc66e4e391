/* The press: the device made, its readers probed until they are in their
 * reading loops, the key written once they and udevd's listeners are ready,
 * the release once the press was read, the device destroyed once the
 * release was.  doc/how-it-presses.md tells how readers take a new device
 * and why each wait is as long as it is. */
#include "uinput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <linux/input.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace uinput {

namespace {

/* A desktop's compositor opens a new keyboard within tens of ms of udev's
 * broadcast: this leaves a loaded machine, and a reader 300 ms late, several
 * times that.  Once a reader has read the keyboard, or opened it since the
 * broadcast, the press waits for it up to STUCK_MS: under load the readers
 * answered 1.7 s after the device's creation, and the key was due 0.55 s
 * later. */
const int READER_MS = 2000;
/* With READER_MS, a press that nobody reads ends within 2.5 s of udev's
 * broadcast.  A slow machine's readers get their pace. */
const int RELEASE_MS = 500;
/* sway opened the node within 15 ms of its queue's emptying under emulation. */
const int OPENED_MS = 15;
/* The netlink table is cheap to read: looking this often keeps the key little
 * behind the queues' emptying. */
const int CAUGHT_UP_RETRY_MS = 2;
/* sway set a new seat's keyboard up 60 to 80 ms after its open under
 * emulation; wev, focused, missed 1 of 7 presses without this wait, none of 14
 * with it. */
const int KEYBOARDLESS_PACES = 3;
/* The longest a reading process found among udevd's listeners is waited for
 * after they took the broadcast, in paces (below), while it is idle. */
const int READERS_PACES = 3;
const int BUSY_MACHINE_MS = 1000;
const int RUNNING_READER_MS = 5000;

const char INPUT_DIR[] = "/dev/input";

/* What the state calls for now; the time of the next step goes to wakeAt. */
bool act(Press &p, long long &wakeAt) {
    long long now = nowMs();
    if (p.stage == LINGERING) {
        /* A reader found busy (sway setting up a keyboard took 480 ms under
         * load) reads the keys only once back in its loop: it lost them to
         * a device destroyed the pace after another reader read them. */
        if (p.open == 0 || (now >= p.lingerUntil && readersInLoops(p)))
            p.stage = DONE;
        wakeAt = now < p.lingerUntil ? p.lingerUntil : now + PROBE_RETRY_MS;
        return true;
    }
    /* udev still at work on events, this device's maybe among them, will
     * broadcast it yet. */
    if (p.announcedAt == 0 && now >= p.announceBy && now < p.createdAt + STUCK_MS && udevAtWork(p))
        p.announceBy = now + PROBE_RETRY_MS;
    if (p.stage != PROBING || p.lastOpenAt == 0)
        return true;
    if (p.nodeWatch < 0) {
        /* No read can be seen yet. */
        wakeAt = now + PROBE_RETRY_MS;
        return watchNode(p);
    }
    /* No report comes when a queue empties: it is looked at again soon. */
    if (p.caughtUpAt == 0 && now >= announced(p)) {
        p.listeners = -1;
        long long catchUpMs =
            READERS_PACES * pace(p) > ANNOUNCE_MS ? READERS_PACES * pace(p) : ANNOUNCE_MS;
        /* Listeners past that bound are counted still: a starved libinput
         * that had not taken the broadcast is one to find and wait for. */
        bool caughtUp = p.monitor < 0 || listenersCaughtUp(p);
        if (caughtUp || now >= announced(p) + catchUpMs) {
            p.caughtUpAt = now;
            /* Only where some listener has yet to open the node does it
             * matter which of them read input: finding out costs a look at
             * every process, which a slow machine feels.  Opens are counted,
             * not told apart: a handed reader's makes up for a missing
             * listener's, but a process that had the last keyboard open and
             * lacks this one shows that one is missing. */
            if (p.listeners > 0 && (p.heardOpens < p.listeners || !openersHold(p)))
                findReaders(p);
        } else {
            wakeAt = now + CAUGHT_UP_RETRY_MS;
        }
    }
    long long lookAgainAt = wakeAt;
    if (p.answers >= 2) {
        /* The readers are in their loops; the listeners still to open keep
         * the key back, but need no probes until they do. */
        if (p.caughtUpAt == 0) {
            wakeAt = p.announcedAt ? lookAgainAt : announced(p);
            return true;
        }
        /* A listener that has not opened the node yet may still be on its
         * way (sway asks seatd for it): where fewer have opened since the
         * broadcast than may open it (a reader that udev handed the node
         * before it is none of them), the key gives them the pace.  Those
         * that may are the reading processes found and the listeners that
         * could not be looked at; on a seat without a keyboard, where no
         * process reads input yet, every listener. */
        int mayOpen = p.alone || !p.readersFound || p.listeners < 0
                          ? p.listeners
                          : p.readerCount + p.unseenListeners;
        long long opened = OPENED_MS;
        if ((mayOpen < 0 || p.heardOpens < mayOpen) && pace(p) > opened)
            opened = pace(p);
        long long ready = p.caughtUpAt + opened;
        /* A reading process found without the node is on its way to it: a
         * busy sway asked seatd for it 100 ms after taking the broadcast,
         * and lost the key written 70 ms after.  A process that reads input
         * but never this device (logind's power buttons) costs the bound;
         * one still running or busy past it is on its way yet (a libinput
         * starved by a busy machine), and is waited for while it is.  One
         * that waits for another to open the node for it (sway for seatd)
         * looks idle meanwhile: on a machine with more work than cores, the
         * bound lapses only BUSY_MACHINE_MS later.  One that never comes
         * back to its loop is not waited for past RUNNING_READER_MS, nor one
         * that had the last keyboard open past OPENER_MS. */
        long long readersBound = p.caughtUpAt + READERS_PACES * pace(p);
        if (p.readerCount > 0 && p.readersInAt == 0) {
            bool lapsed =
                now >= readersBound && (now >= readersBound + BUSY_MACHINE_MS || !machineBusy());
            if ((now >= readersBound + RUNNING_READER_MS && !openerMissing(p)) ||
                readersOpened(p, lapsed)) {
                p.readersInAt = now;
            } else {
                /* The bound decides only when idle readers count: the key
                 * waits for a look that finds them all ready, each look a
                 * scan of their files that a starved machine is spared. */
                long long again = now + (now >= readersBound ? PROBE_RETRY_MS : CAUGHT_UP_RETRY_MS);
                ready = again;
                if (again < lookAgainAt)
                    lookAgainAt = again;
            }
        }
        long long paced = announced(p) + pace(p) / 4;
        if (paced > ready)
            ready = paced;
        if (settledAt(p) > ready)
            ready = settledAt(p);
        /* A reader busy right after its open (sway sets up each new
         * keyboard) reads the probes, and a marker left before them, only
         * later: the key must not queue behind those. */
        if (severalReaders(p) && p.answeredAt + pace(p) > ready)
            ready = p.answeredAt + pace(p);
        /* A seat that had no keyboard gains one with this device, and its
         * compositor's programs take it up only after the compositor set it
         * up: none of that shows here. */
        if (p.alone && p.answeredAt + KEYBOARDLESS_PACES * pace(p) > ready)
            ready = p.answeredAt + KEYBOARDLESS_PACES * pace(p);
        if (now >= ready) {
            p.stage = PRESS_SENT;
            return writePacket(p.uinput, EV_KEY, p.code, 1);
        }
        wakeAt = ready < lookAgainAt ? ready : lookAgainAt;
        return true;
    }
    if (now < settledAt(p)) {
        wakeAt = settledAt(p);
        return true;
    }
    if (p.roundProbes == 0 || now >= p.probeAt + p.probeRetryMs) {
        if (!writePacket(p.uinput, EV_MSC, MSC_SCAN, 0))
            return false;
        /* Only a read of a single probe is an answer: a reader that reads
         * later than the retry never gives one until the retry is longer. */
        if (p.roundProbes > 0 && p.probeRetryMs < PROBE_MAX_MS)
            p.probeRetryMs *= 2;
        if (p.roundProbes++ == 0)
            p.roundAt = now;
        p.probeAt = now;
    }
    long long probeAgainAt = p.probeAt + p.probeRetryMs;
    wakeAt = probeAgainAt < lookAgainAt ? probeAgainAt : lookAgainAt;
    return true;
}

/* Readers learn of the device from udevd's broadcast, which a busy udev
 * made 17 s after the device's creation: the machine is stuck only where
 * they have not done their part STUCK_MS after it, or after STUCK_MS, by
 * which udev is stuck itself. */
long long stuckAt(const Press &p) {
    return std::min(announced(p), p.createdAt + STUCK_MS) + STUCK_MS;
}

/* Whether a reader is there, whatever its pace: one read the node, or
 * opened it since udevd's broadcast, and holds it still.  udev's own look
 * at a new device, before its broadcast, reads nothing. */
bool readerThere(const Press &p) {
    return p.nodeWatch >= 0 && p.open > 0 && (p.readSeen || p.heardOpens > 0);
}

/* When the press gives up: READER_MS after udevd's broadcast where no reader
 * is there, STUCK_MS after it where one is.  A reading process found among
 * udevd's listeners that is still busy without the node is on its way to it
 * (a libinput and a sway starved by a busy machine had opened nothing 2 s
 * after the broadcast), and holds the first bound, as does one that opened
 * it since this press last read inotify's reports.  Where nobody opened the
 * node, nobody looked for them yet: that look is made once, at the bound. */
long long pressDeadline(Press &p) {
    if (readerThere(p))
        return stuckAt(p);
    long long noReader = announced(p) + READER_MS, now = nowMs();
    if (now < noReader || now >= stuckAt(p))
        return noReader;
    if (!p.readersFound && p.lastOpenAt == 0 && p.monitor >= 0) {
        listenersCaughtUp(p);
        findReaders(p);
    }
    if (p.readerCount > 0 && readersComing(p))
        return now + PROBE_RETRY_MS;
    return noReader;
}

/* Takes what udevd broadcast: its add of this device is the announcement. */
bool hear(Press &p) {
    bool more = true;
    while (more)
        if (heardAdd(p.monitor, p.devpath, more) && p.announcedAt == 0) {
            p.announcedAt = nowMs();
            /* udev grants the node as it finishes with the device. */
            if (!watchNode(p))
                return false;
        }
    return true;
}

enum Wait { WAIT_DONE, WAIT_TIMED_OUT, WAIT_FAILED };

/* Handles what inotify and udevd report until the stage is at least `until`
 * or the deadline passes; 0 is the press's own, which moves with what the
 * press learns. */
Wait waitFor(Press &p, Stage until, long long fixedDeadline) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        long long deadline = fixedDeadline ? fixedDeadline : pressDeadline(p);
        long long wakeAt = deadline;
        if (!act(p, wakeAt))
            return WAIT_FAILED;
        if (p.stage >= until)
            return WAIT_DONE;
        long long now = nowMs();
        /* A deadline that the readers moved on is a moment ahead, which the
         * look at every process can outlast on a slow machine. */
        if (now >= deadline && !fixedDeadline)
            deadline = pressDeadline(p);
        if (now >= deadline)
            return WAIT_TIMED_OUT;
        long long left = (wakeAt < deadline ? wakeAt : deadline) - now;
        pollfd fds[] = {{p.notify, POLLIN, 0}, {p.announcedAt ? -1 : p.monitor, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left > 0 ? left : 0)) < 0 && errno != EINTR)
            return WAIT_FAILED;
        /* udev opens the node before it broadcasts the device: where both
         * came while this run was held back, its open is taken first, not
         * as a listener's.  udev closes the node before it broadcasts, so
         * the opens taken with the broadcast that are still held are
         * listeners'. */
        int openBefore = p.open;
        ssize_t length;
        while ((length = read(p.notify, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (!take(p, *event))
                    return WAIT_FAILED;
                at += static_cast<ssize_t>(sizeof *event + event->len);
            }
        }
        bool unheard = p.announcedAt == 0;
        if (fds[1].revents && !hear(p))
            return WAIT_FAILED;
        if (unheard && p.announcedAt != 0 && p.open > openBefore)
            p.heardOpens += p.open - openBefore;
    }
}

UinputOutcome pressOn(Press &p) {
    /* Watch and listen before the device exists: a fast reader opens its node
     * before a watch added afterwards could see it, and udevd may broadcast
     * it before a socket bound afterwards could hear it. */
    p.dirWatch = inotify_add_watch(p.notify, INPUT_DIR, IN_OPEN | IN_CLOSE);
    if (p.dirWatch < 0)
        return UINPUT_NO_NODE;
    p.alone = !anyKeyboard();
    p.monitor = listenToUdev();
    if (p.monitor >= 0)
        p.udevWatch = inotify_add_watch(p.notify, UDEV_DATA_DIR, IN_MOVED_TO | IN_CLOSE_WRITE);
    sockaddr_nl bound = {};
    socklen_t size = sizeof bound;
    if (p.monitor >= 0 && getsockname(p.monitor, reinterpret_cast<sockaddr *>(&bound), &size) == 0)
        p.port = bound.nl_pid;
    p.createdAt = nowMs();
    p.announceBy = p.createdAt + ANNOUNCE_MS;
    p.probeRetryMs = PROBE_RETRY_MS;
    /* Without udevd nothing waits for its broadcast. */
    if (p.monitor < 0)
        p.announcedAt = p.createdAt;
    if (!createDevice(p.uinput))
        return UINPUT_REFUSED;
    if (!findEventNode(p.uinput, p.node, sizeof p.node, p.devpath, sizeof p.devpath))
        return UINPUT_NO_NODE;
    snprintf(p.path, sizeof p.path, "%s/%s", INPUT_DIR, p.node);
    if (!findUdevEntry(p.path, p.udevEntry, sizeof p.udevEntry))
        return UINPUT_NO_NODE;
    if (!watchNode(p))
        return UINPUT_NO_NODE;
    /* Needed only once the listeners took the broadcast: read while udev
     * works on the device, not before it is made. */
    recallOpeners(p);

    switch (waitFor(p, RELEASE_SENT, 0)) {
    case WAIT_DONE:
        break;
    case WAIT_TIMED_OUT:
        if (readerThere(p))
            return UINPUT_STUCK;
        return p.nodeWatch < 0 ? UINPUT_NO_WATCH : UINPUT_NO_READER;
    case WAIT_FAILED:
        return UINPUT_REFUSED;
    }
    /* The press was read in a reading loop, where nothing drops it any more;
     * the release is on its way.  Waiting for it to be read too keeps it
     * from going with the device, whose unread events are lost; and for the
     * other readers, as long as a busy machine keeps them from their loops:
     * a sway starved that way lost keys that libinput read. */
    long long releaseMs = 2 * pace(p) > RELEASE_MS ? 2 * pace(p) : RELEASE_MS;
    waitFor(p, LINGERING, nowMs() + releaseMs);
    if (p.stage == LINGERING)
        waitFor(p, DONE, std::max(nowMs() + releaseMs, stuckAt(p)));
    return UINPUT_PRESSED;
}

} // namespace

} // namespace uinput

using namespace uinput;

UinputOutcome pressUinput(const LinuxKey &key) {
    UinputOutcome outcome = UINPUT_MISSING;
    if (handToKeeper(key.evdevCode, outcome))
        return outcome;
    Press p = {};
    p.notify = p.monitor = p.dirWatch = p.nodeWatch = p.udevWatch = -1;
    p.code = key.evdevCode;
    p.stage = PROBING;
    const char *node = nullptr;
    p.uinput = openUinput(outcome, node);
    if (p.uinput < 0)
        return outcome;
    /* The lock goes with the node's close, after the device is gone. */
    Locked locked = lockUinput(p.uinput, node, p.code, outcome);
    if (locked != LOCK_TAKEN) {
        close(p.uinput);
        return locked == LOCK_BUSY ? UINPUT_BUSY : outcome;
    }
    p.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    outcome = p.notify < 0 ? UINPUT_REFUSED : pressOn(p);
    /* Where nobody read the key, nobody had the keyboard open: a reader
     * remembered that never opens it (a compositor whose session another
     * took over) is not waited for again once a press found it without. */
    if (outcome == UINPUT_PRESSED || outcome == UINPUT_NO_READER)
        rememberHolders(p);
    /* A keeper holds the device, and the lock, on. */
    if (outcome != UINPUT_PRESSED || !keep(p, node))
        destroyDevice(p.uinput);
    close(p.uinput);
    if (p.notify >= 0)
        close(p.notify);
    if (p.monitor >= 0)
        close(p.monitor);
    return outcome;
}
