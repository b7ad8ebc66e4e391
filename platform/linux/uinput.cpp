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
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
 *      leaves a SYN_DROPPED marker that is read only with the next packet;
 *      reading the marker makes it ask for the key state anew, which drops
 *      the keys queued behind it,
 * and comes to its reading loop some milliseconds later.  A key event
 * written before step 3, or behind a marker, is lost to it, a release
 * without its press is ignored, and events still unread when the device is
 * destroyed are lost to every reader.  Simpler readers (hotkey daemons) read
 * at once; udev opens the node, looks and closes it.
 *
 * So the key waits until the readers are seen in their reading loops.  The
 * kernel shows opens and closes of the node and reads of it that returned
 * data (inotify), and when udev announced the device (its entry under
 * /run/udev/data, written before the announcement).  Readers are made to
 * read by probes: a packet of MSC_SCAN alone, which real keyboards send with
 * every key and which readers pass over.  The first probe read after an open
 * may be step 1's read; a probe written after that read was seen either
 * arrives after step 3 and is read in the loop, or is emptied by step 3,
 * and then the next probe, written PROBE_RETRY_MS later, is read with the
 * marker, a read that counts only as a first one.  Two reads in a row, each
 * of a single probe written after the read before it, thus mean that a
 * reader is in its loop with no marker left.  The key also waits for udev's
 * announcement and a quarter of the time udev took for it, since readers
 * that learn of devices from udev open them soon after it: measured under
 * software emulation with udev itself taking 35 to 110 ms, libinput opened
 * 1 to 4 ms after it and sway, which gets its devices through seatd, 7 ms
 * after it.  Two readers reading at once may make one report, so with several
 * open only probes written twice udev's time after the last open count.  The
 * release goes out once the press was read, and the device stays until the
 * release was read, and LINGER_MS more with several readers.
 *
 * The bounds: a desktop's compositor opens a new keyboard within tens of
 * milliseconds of udev announcing it.  READER_MS leaves a loaded machine,
 * and a reader that comes 300 ms late, several times that; with RELEASE_MS
 * after it, a press that nobody reads ends within 2.5 s of the device's
 * creation, inside 3 s in all. */
const int READER_MS = 2000;
const int RELEASE_MS = 500;
const int PROBE_RETRY_MS = 10;
const int SETTLE_MIN_MS = 10;
const int LINGER_MS = 20;
const int ANNOUNCE_MS = 1000;

const char INPUT_DIR[] = "/dev/input";
/* Where udev keeps what it learnt of each device; it writes a device's entry
 * there before it announces the device. */
const char UDEV_DATA_DIR[] = "/run/udev/data";
const char *const UINPUT_NODES[] = {"/dev/uinput", "/dev/input/uinput"};

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

/* The name udev gives the node's entry: "c" and its device number. */
bool findUdevEntry(const char *path, char *entry, size_t size) {
    struct stat st = {};
    if (stat(path, &st) != 0)
        return false;
    snprintf(entry, size, "c%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return true;
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
    int udevWatch;
    char node[32];
    char path[64];      /* the node under INPUT_DIR */
    char udevEntry[32]; /* the node's entry under UDEV_DATA_DIR, such as "c13:67" */
    uint16_t code;
    Stage stage;
    long long createdAt;
    long long announcedAt; /* when udev announced the device; 0 before */
    int open;              /* readers that have the node open */
    long long lastOpenAt;
    int answers;       /* reads of probes since the last open, the last one clean */
    int roundProbes;   /* probes written since the last read */
    long long roundAt; /* when the first of them went out */
    long long probeAt; /* when the last of them went out */
    long long lingerUntil;
};

/* How long udev took to announce the device: the time that readers, which do
 * much the same work on a new device, take on this machine at its present
 * load. */
long long udevTime(const Press &p) {
    long long announced = p.announcedAt ? p.announcedAt : p.createdAt + ANNOUNCE_MS;
    long long took = announced - p.createdAt;
    return took < SETTLE_MIN_MS ? SETTLE_MIN_MS : took;
}

/* With several readers the answers may all come from one while another is
 * still between its open and its loop, which takes about as long as udev's
 * own work on the device.  Only probes written after twice that count then:
 * by that time every reader is in its loop, and their reads of those probes
 * also consume any marker that step 3 left. */
long long settledAt(const Press &p) {
    return p.open > 1 ? p.lastOpenAt + 2 * udevTime(p) : 0;
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

/* Opens and closes of the node, from its own reports. */
void count(Press &p, const inotify_event &event) {
    long long now = nowMs();
    if (event.mask & IN_OPEN) {
        ++p.open;
        p.lastOpenAt = now;
        p.answers = p.roundProbes = 0;
    } else if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
        p.open -= p.open > 0;
    }
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
        switch (p.stage) {
        case PROBING:
            /* A read after more than one probe may have been of the marker
             * that step 3 left, and the reader then asks for the key state
             * anew, dropping queued keys: it counts only as a first read. */
            if (p.roundProbes > 0 && p.roundAt < settledAt(p))
                p.answers = 0;
            else if (p.roundProbes == 1)
                ++p.answers;
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
            p.stage = p.open > 1 ? LINGERING : DONE;
            p.lingerUntil = now + LINGER_MS;
            return true;
        case LINGERING:
        case DONE:
            return true;
        }
    }
    if (event.wd == p.udevWatch && event.len > 0 && strcmp(event.name, p.udevEntry) == 0 &&
        p.announcedAt == 0)
        p.announcedAt = now;
    if (before || event.wd == p.udevWatch)
        return watchNode(p);
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
    if (p.stage != PROBING || p.lastOpenAt == 0)
        return true;
    if (p.nodeWatch < 0) {
        /* No read can be seen yet. */
        wakeAt = now + PROBE_RETRY_MS;
        return watchNode(p);
    }
    if (p.answers >= 2) {
        /* Readers that learn of new devices from udev open this one soon
         * after its announcement. */
        long long ready =
            (p.announcedAt ? p.announcedAt : p.createdAt + ANNOUNCE_MS) + udevTime(p) / 4;
        if (p.open > 1 && p.lastOpenAt + 2 * udevTime(p) > ready)
            ready = p.lastOpenAt + 2 * udevTime(p);
        if (now >= ready) {
            p.stage = PRESS_SENT;
            return writePacket(p.uinput, EV_KEY, p.code, 1);
        }
        wakeAt = ready;
        return true;
    }
    if (now < settledAt(p)) {
        wakeAt = settledAt(p);
        return true;
    }
    if (p.roundProbes == 0 || now >= p.probeAt + PROBE_RETRY_MS) {
        if (!writePacket(p.uinput, EV_MSC, MSC_SCAN, 0))
            return false;
        if (p.roundProbes++ == 0)
            p.roundAt = now;
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
    /* Without udev nothing waits for its announcement. */
    p.udevWatch = inotify_add_watch(p.notify, UDEV_DATA_DIR, IN_MOVED_TO | IN_CLOSE_WRITE);
    p.createdAt = nowMs();
    if (p.udevWatch < 0)
        p.announcedAt = p.createdAt;
    if (!createDevice(p.uinput, p.code))
        return UINPUT_REFUSED;
    if (!findEventNode(p.uinput, p.node, sizeof p.node))
        return UINPUT_NO_NODE;
    snprintf(p.path, sizeof p.path, "%s/%s", INPUT_DIR, p.node);
    if (!findUdevEntry(p.path, p.udevEntry, sizeof p.udevEntry))
        return UINPUT_NO_NODE;
    if (!watchNode(p))
        return UINPUT_NO_NODE;

    switch (waitFor(p, RELEASE_SENT, nowMs() + READER_MS)) {
    case WAIT_DONE:
        break;
    case WAIT_TIMED_OUT:
        return p.nodeWatch < 0 ? UINPUT_NO_WATCH : UINPUT_NO_READER;
    case WAIT_FAILED:
        return UINPUT_REFUSED;
    }
    /* The press was read in a reading loop, where nothing drops it any more;
     * the release is on its way.  Waiting for it to be read too keeps it
     * from going with the device, whose unread events are lost. */
    waitFor(p, DONE, nowMs() + RELEASE_MS);
    return UINPUT_PRESSED;
}

} // namespace

UinputOutcome pressUinput(const LinuxKey &key) {
    Press p = {};
    p.notify = p.dirWatch = p.nodeWatch = p.udevWatch = -1;
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
