#include "press.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

/* A new input device is no use until its readers are ready for it, and what
 * a reader does on opening a new device decides when that is.  libinput,
 * which every Wayland compositor and X.Org's usual driver read keyboards
 * through, opens the node once udev has announced the device and then
 *   1. reads and throws away whatever is queued (one read, or more while
 *      each fills its whole buffer),
 *   2. asks for the key state (EVIOCGKEY), which drops queued key events,
 *   3. sets its clock (EVIOCSCLOCKID), which empties a non-empty queue and
 *      leaves a SYN_DROPPED marker that is read only with the next packet,
 * and only then comes to its reading loop.  A key event written before step
 * 3 is lost to it, and a release without its press is ignored.  Simpler
 * readers (hotkey daemons) read at once; udev may open the node, look and
 * close it without reading.
 *
 * So the key waits until the readers are seen in their reading loops.  The
 * kernel shows opens and closes of the node (inotify on the directory) and
 * reads of it, but only reads that returned data (IN_ACCESS on the node).
 * Readers are made to read by probes: a packet of MSC_SCAN alone, which real
 * keyboards send with every key and which readers pass over.  The first
 * probe read after an open may be step 1's read; a probe written after that
 * read was seen either arrives after step 3 and is read in the loop, or is
 * emptied by step 3 and the marker waits, so that the next probe, written
 * PROBE_RETRY_MS later, is read in the loop with it.  Two reads in a row,
 * each of a probe written after the read before it, thus mean that a reader
 * is in its loop.  inotify cannot tell readers apart, and it merges two
 * opens in a row into one report, so a second reader may still be between
 * its open and step 3 while the first answers the probes: the key also
 * waits until SETTLE_MS have passed since the last open, far more than
 * steps 1 to 3 take (measured under software emulation: about 2 ms without
 * load, 15 ms at most with six presses at once).  After the release, which
 * goes out once the press was read, the device stays LINGER_MS so that every
 * reader woken by it has read it: a destroyed device's unread events are
 * lost.
 *
 * The bounds: a desktop's compositor opens a new keyboard within tens of
 * milliseconds of udev announcing it.  READER_MS leaves a loaded machine,
 * and a reader that comes 300 ms late, several times that; with RELEASE_MS
 * after it, a press that nobody reads ends within 2.5 s of the device's
 * creation, inside 3 s in all. */
const int READER_MS = 2000;
const int RELEASE_MS = 500;
const int PROBE_RETRY_MS = 10;
const int SETTLE_MS = 30;
const int LINGER_MS = 20;

const char INPUT_DIR[] = "/dev/input";
const char *const UINPUT_NODES[] = {"/dev/uinput", "/dev/input/uinput"};

long long nowMs() {
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

/* The uinput node open for writing, or -1 and why not. */
int openUinput(UinputOutcome &failure) {
    failure = UINPUT_MISSING;
    for (const char *node : UINPUT_NODES) {
        int fd = open(node, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno == EACCES || errno == EPERM)
            failure = UINPUT_DENIED;
    }
    return -1;
}

bool createDevice(int fd, uint16_t code) {
    uinput_setup setup = {};
    setup.id.bustype = BUS_VIRTUAL;
    snprintf(setup.name, sizeof setup.name, "mediakey");
    return ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_KEYBIT, code) == 0 &&
           ioctl(fd, UI_SET_EVBIT, EV_MSC) == 0 && ioctl(fd, UI_SET_MSCBIT, MSC_SCAN) == 0 &&
           ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
}

/* The device's event node, such as "event7", from sysfs: the evdev handler
 * lists it in the device's directory once the device is registered. */
bool findEventNode(int fd, char *node, size_t size) {
    char sysname[64] = "";
    if (ioctl(fd, UI_GET_SYSNAME(sizeof sysname), sysname) < 0)
        return false;
    char path[128];
    snprintf(path, sizeof path, "/sys/devices/virtual/input/%s", sysname);
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    bool found = false;
    alignas(dirent64) char buffer[4096];
    ssize_t length;
    while (!found && (length = getdents64(dir, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            if (strncmp(entry->d_name, "event", 5) == 0 && strlen(entry->d_name) < size) {
                snprintf(node, size, "%s", entry->d_name);
                found = true;
                break;
            }
            at += entry->d_reclen;
        }
    }
    close(dir);
    return found;
}

/* One packet: the event, then the report that ends it. */
bool writePacket(int fd, uint16_t type, uint16_t code, int value) {
    input_event events[2] = {};
    events[0].type = type;
    events[0].code = code;
    events[0].value = value;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    return write(fd, events, sizeof events) == static_cast<ssize_t>(sizeof events);
}

enum Stage { PROBING, PRESS_SENT, RELEASE_SENT, LINGERING, DONE };

struct Press {
    int uinput;
    int notify;
    int dirWatch;
    int nodeWatch;
    char node[32];
    uint16_t code;
    Stage stage;
    int open;             /* openers of the node now, as far as inotify tells */
    long long lastOpenAt; /* when the last of them opened it */
    int answers;          /* reads of probes since then, the last one clean */
    int roundProbes;      /* probes written since the last read seen */
    long long probeAt;    /* when the last of them went out */
    long long lingerUntil;
};

/* Takes one report of inotify, in the order the kernel made them. */
bool take(Press &p, const inotify_event &event) {
    long long now = nowMs();
    if (event.wd == p.nodeWatch && (event.mask & IN_ACCESS)) {
        switch (p.stage) {
        case PROBING:
            /* A read after more than one probe may have been of the marker
             * that step 3 left, and the reader then asks for the key state
             * anew, dropping queued keys: it counts only as a first read. */
            if (p.roundProbes == 1)
                ++p.answers;
            else if (p.roundProbes > 1)
                p.answers = 1;
            p.roundProbes = 0;
            return true;
        case PRESS_SENT:
            p.stage = RELEASE_SENT;
            return writePacket(p.uinput, EV_KEY, p.code, 0);
        case RELEASE_SENT:
            p.stage = LINGERING;
            p.lingerUntil = now + LINGER_MS;
            return true;
        case LINGERING:
        case DONE:
            return true;
        }
    }
    if (event.wd != p.dirWatch || event.len == 0 || strcmp(event.name, p.node) != 0)
        return true;
    if (event.mask & IN_OPEN) {
        ++p.open;
        p.lastOpenAt = now;
        p.answers = 0;
        p.roundProbes = 0;
        if (p.nodeWatch < 0) {
            char path[64];
            snprintf(path, sizeof path, "%s/%s", INPUT_DIR, p.node);
            p.nodeWatch = inotify_add_watch(p.notify, path, IN_ACCESS);
            return p.nodeWatch >= 0;
        }
    } else if ((event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && p.open > 0) {
        --p.open;
    }
    return true;
}

/* What the state calls for now; the time of the next step goes to wakeAt. */
bool act(Press &p, long long &wakeAt) {
    long long now = nowMs();
    if (p.stage == LINGERING) {
        if (now >= p.lingerUntil || p.open == 0)
            p.stage = DONE;
        wakeAt = p.lingerUntil;
        return true;
    }
    if (p.stage != PROBING || p.open == 0)
        return true;
    if (p.answers >= 2) {
        long long settled = p.lastOpenAt + SETTLE_MS;
        if (now >= settled) {
            p.stage = PRESS_SENT;
            return writePacket(p.uinput, EV_KEY, p.code, 1);
        }
        wakeAt = settled;
        return true;
    }
    if (p.roundProbes == 0 || now >= p.probeAt + PROBE_RETRY_MS) {
        if (!writePacket(p.uinput, EV_MSC, MSC_SCAN, 0))
            return false;
        ++p.roundProbes;
        p.probeAt = now;
    }
    wakeAt = p.probeAt + PROBE_RETRY_MS;
    return true;
}

enum Wait { WAIT_DONE, WAIT_TIMED_OUT, WAIT_FAILED };

/* Handles what inotify reports until the stage is at least `until` or the
 * deadline passes. */
Wait waitFor(Press &p, Stage until, long long deadline) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        long long wakeAt = deadline;
        if (!act(p, wakeAt))
            return WAIT_FAILED;
        if (p.stage >= until)
            return WAIT_DONE;
        long long now = nowMs();
        if (now >= deadline)
            return WAIT_TIMED_OUT;
        long long left = (wakeAt < deadline ? wakeAt : deadline) - now;
        pollfd fds = {p.notify, POLLIN, 0};
        if (poll(&fds, 1, static_cast<int>(left > 0 ? left : 0)) < 0 && errno != EINTR)
            return WAIT_FAILED;
        ssize_t length;
        while ((length = read(p.notify, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (!take(p, *event))
                    return WAIT_FAILED;
                at += static_cast<ssize_t>(sizeof *event + event->len);
            }
        }
    }
}

UinputOutcome pressOn(Press &p) {
    /* Watch before the device exists: a fast reader opens its node before a
     * watch added afterwards could see it. */
    p.dirWatch = inotify_add_watch(p.notify, INPUT_DIR, IN_OPEN | IN_CLOSE);
    if (p.dirWatch < 0)
        return UINPUT_NO_NODE;
    if (!createDevice(p.uinput, p.code))
        return UINPUT_REFUSED;
    if (!findEventNode(p.uinput, p.node, sizeof p.node))
        return UINPUT_NO_NODE;

    switch (waitFor(p, RELEASE_SENT, nowMs() + READER_MS)) {
    case WAIT_DONE:
        break;
    case WAIT_TIMED_OUT:
        return UINPUT_NO_READER;
    case WAIT_FAILED:
        return UINPUT_REFUSED;
    }
    /* The press was read in a reading loop, where nothing drops it any more;
     * the release is on its way.  Waiting for it to be read too keeps it
     * from going with the device. */
    waitFor(p, DONE, nowMs() + RELEASE_MS);
    return UINPUT_PRESSED;
}

} // namespace

UinputOutcome pressUinput(const LinuxKey &key) {
    Press p = {};
    p.notify = p.dirWatch = p.nodeWatch = -1;
    p.code = key.evdevCode;
    p.stage = PROBING;
    UinputOutcome outcome = UINPUT_MISSING;
    p.uinput = openUinput(outcome);
    if (p.uinput < 0)
        return outcome;
    p.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    outcome = p.notify < 0 ? UINPUT_REFUSED : pressOn(p);
    ioctl(p.uinput, UI_DEV_DESTROY);
    close(p.uinput);
    if (p.notify >= 0)
        close(p.notify);
    return outcome;
}
