/* What the kernel reports of the node's readers (opens, closes and reads of
 * the probes) and of udev's entry for it, taken into the press's state.  A
 * key written before libinput set its clock on the node, or behind the
 * SYN_DROPPED marker that leaves, is lost (doc/how-it-presses.md has its
 * steps): two reads in a row, each of a single probe written after the read
 * before it, show a reader in its reading loop with no marker left. */
#include "uinput.h"

#include <cerrno>
#include <cstring>
#include <linux/input.h>
#include <sys/inotify.h>

namespace uinput {

namespace {

/* Readers read the release within a few ms of its writing; the pace
 * lengthens the linger on a slow machine. */
const int LINGER_MS = 20;

/* Opens and closes of the node, from its own reports. */
void count(Press &p, const inotify_event &event) {
    long long now = nowMs();
    if (event.mask & IN_OPEN) {
        ++p.open;
        p.heardOpens += p.announcedAt != 0;
        /* A reader opens a new device at once on hearing of it, when not
         * held back by a busy machine. */
        if (p.announcedAt != 0 && now - p.announcedAt > p.readerPace)
            p.readerPace = now - p.announcedAt;
        p.lastOpenAt = now;
        p.answers = p.roundProbes = 0;
    } else if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
        p.open -= p.open > 0;
    }
}

} // namespace

/* With several readers the answers may all come from one while another is
 * still between its open and its loop.  Only probes written twice the pace
 * after the last open count then: by that time every reader is in its loop,
 * and their reads of those probes also consume any marker that its setting
 * of its clock left. */
long long settledAt(const Press &p) {
    return severalReaders(p) ? p.lastOpenAt + 2 * pace(p) : 0;
}

/* Whether more than one reader has the node, or will: the opens counted,
 * or the reading processes found among udevd's listeners.  Under load, two
 * readers' opens were once seen as one. */
bool severalReaders(const Press &p) {
    return p.open > 1 || p.readerCount > 1;
}

/* Watches the node itself, which inotify allows only to those who may read
 * it.  udev may grant that only as it finishes with the device, so a
 * refusal is tried again later. */
bool watchNode(Press &p) {
    if (p.nodeWatch >= 0)
        return true;
    p.nodeWatch = inotify_add_watch(p.notify, p.path, IN_OPEN | IN_CLOSE | IN_ACCESS);
    return p.nodeWatch >= 0 || errno == EACCES || errno == EPERM;
}

/* Takes one report of inotify, in the order the kernel made them.  Opens,
 * closes and reads are counted from the node's own reports, which are of
 * this device alone: a device gone just before may have had the same name.
 * Reads of a device node are reported on the node alone, and two readers
 * reading at once may make one report, as inotify merges identical reports
 * in a row; opens and closes are reported on the directory too, right
 * before the node's, which keeps those from being merged. */
bool take(Press &p, const inotify_event &event) {
    long long now = nowMs();
    /* Until the node can be watched, the directory's reports count. */
    bool before = p.nodeWatch < 0 && event.wd == p.dirWatch && event.len > 0 &&
                  strcmp(event.name, p.node) == 0;
    if (before || (event.wd == p.nodeWatch && (event.mask & (IN_OPEN | IN_CLOSE))))
        count(p, event);
    if (event.wd == p.nodeWatch && (event.mask & IN_ACCESS)) {
        /* Two opens in a row before the node was watched may have made one
         * report: whoever reads has it open. */
        p.open += p.open == 0;
        p.readSeen = true;
        switch (p.stage) {
        case PROBING:
            /* A reader in its loop reads a probe at once, when not held
             * back by a busy machine; one read after several probes took at
             * least as long since the last. */
            if (p.roundProbes > 0 && now - p.probeAt > p.readerPace)
                p.readerPace = now - p.probeAt;
            /* A read after more than one probe may have been of the marker
             * that a reader's setting of its clock left, and the reader then
             * asks for the key state anew, dropping queued keys: it counts
             * only as a first read. */
            if (p.roundProbes > 0 && p.roundAt < settledAt(p))
                p.answers = 0;
            else if (p.roundProbes == 1 && ++p.answers == 2)
                p.answeredAt = now;
            else if (p.roundProbes > 1)
                p.answers = 1;
            p.roundProbes = 0;
            return true;
        case PRESS_SENT:
            p.stage = RELEASE_SENT;
            return writePacket(p.uinput, EV_KEY, p.code, 0);
        case RELEASE_SENT:
            /* One reader has the release; others, woken by the same write,
             * read it within moments. */
            p.stage = severalReaders(p) ? LINGERING : DONE;
            p.lingerUntil = now + (pace(p) > LINGER_MS ? pace(p) : LINGER_MS);
            return true;
        case LINGERING:
        case DONE:
            return true;
        }
    }
    if (event.wd == p.udevWatch && event.len > 0 && strcmp(event.name, p.udevEntry) == 0 &&
        p.appliedAt == 0) {
        p.appliedAt = now;
        p.udevStartedAt = udevStartedAt(p, now);
    }
    /* The node is watched once the reports in hand are all taken: the
     * directory's after a watch added amid them, of opens and closes made
     * before it, would go uncounted. */
    return true;
}

} // namespace uinput
