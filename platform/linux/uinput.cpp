#include "press.h"
#include "udev_message.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

/* A new input device is no use until its readers are ready for it, and what
 * a reader does on opening a new device decides when that is.  libinput,
 * which every Wayland compositor and X.Org's usual driver read keyboards
 * through, opens the node once udev has broadcast the device to its
 * listeners and then
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
 * destroyed are lost to every reader.  Simpler readers (hotkey daemons, or
 * one that a rule's RUN program hands the node) read at once; udev opens
 * the node, looks and closes it.
 *
 * So the key waits until the readers are seen in their reading loops.  The
 * kernel shows opens and closes of the node and reads of it that returned
 * data (inotify); udevd's own broadcast of the device, which libinput
 * listens for, shows when those readers learn of it.  udevd broadcasts only
 * after its rules' RUN programs ended, which may be long after an early
 * reader is reading.  Readers are made to read by probes: a packet of
 * MSC_SCAN alone, which real keyboards send with every key and which readers
 * pass over.  The first probe read after an open may be step 1's read; a
 * probe written after that read was seen either arrives after step 3 and is
 * read in the loop, or is emptied by step 3, and then the next probe,
 * written PROBE_RETRY_MS later, is read with the marker, a read that counts
 * only as a first one.  Two reads in a row, each of a single probe written
 * after the read before it, thus mean that a reader is in its loop with no
 * marker left.
 *
 * Readers are as slow as the machine, and udev's own work on the device
 * shows its pace: the time from the device's creation to udev's entry for it
 * under /run/udev/data, written once the rules applied and before their RUN
 * programs.  Two readers reading at once may make one report, so with
 * several open only probes written twice the pace after the last open
 * count, the key waits the pace more after two answers, for a reader that
 * was busy to read the probes and a marker before them, and the device stays
 * the pace after the release was read, at least LINGER_MS, for the others to
 * read it too.  The key goes out once the probes show the readers in their
 * loops, every other listener of udevd's has taken what was sent to it from
 * its queue and OPENED_MS have passed since (the pace, where fewer opened
 * it since the broadcast than listen: sway, which asks seatd for the node,
 * once opened it over 25 ms after taking the broadcast and so missed 1 press
 * in 100 beside `libinput debug-events`; with the pace none of 150), and a
 * quarter of the pace has passed since the broadcast.  The release goes out once
 * the press was read.
 *
 * A seat with no other device with keys gains its keyboard with this one,
 * and the compositor's programs ask for it only after the compositor set it
 * up (sway: 60 to 80 ms after its open under emulation) and told them: the
 * key then waits KEYBOARDLESS_PACES times the pace after two answers.  wev,
 * focused in sway, missed 1 of 7 presses without that wait, none of 14 with
 * it.
 *
 * One run presses at a time: each holds a lock on the uinput node from
 * before its device exists until after it is gone, since libinput takes new
 * devices one by one and a burst of devices outran it.
 *
 * Measured under software emulation (qemu TCG, Debian 12's udev 252,
 * libinput 1.22, sway 1.7 on seatd), the host loaded 10 to 18 on 2 cores by
 * other work: udev broadcast the device 30 to 70 ms after its creation (a
 * RUN program that sleeps 150 ms: 450 ms after it); `libinput
 * debug-events` opened it 0 to 4 ms after the broadcast, sway 0 to 46 ms
 * after it, once 128 ms; the listeners' queues were empty when the
 * broadcast was heard or up to 42 ms later, and sway's open followed within
 * 15 ms then.  The press and the release were each read within a few ms of
 * their writing, and destroying the device took the kernel 25 to 50 ms.
 * Shorter waits lost presses: with a settling of 25 ms after the last open
 * and a linger of 20 ms, libinput missed 1 of 10 presses beside an early
 * reader, and sway, busy setting up each new keyboard for 60 to 80 ms
 * after its open, 40 of 50 beside `libinput debug-events`; without the wait
 * after two answers, sway or libinput still missed 1 to 5 of 40 in a row
 * however long the settling and the linger (tried up to four and three
 * times the pace), with it each got 50 of 50 in two runs.
 *
 * The bounds: a desktop's compositor opens a new keyboard within tens of
 * milliseconds of udev's broadcast.  READER_MS leaves a loaded machine,
 * and a reader that comes 300 ms late, several times that; with RELEASE_MS
 * after it, a press that nobody reads ends within 2.5 s of the device's
 * creation.  LOCK_MS lets a run that found no reader end before the next
 * gives up, and leaves room for a queue: six presses at once took up to
 * 4.9 s to the last under emulation on that loaded host, 1.5 s with less
 * load. */
const int READER_MS = 2000;
const int RELEASE_MS = 500;
const int LOCK_MS = 5000;
const int PROBE_RETRY_MS = 10;
const int OPENED_MS = 15;
const int CAUGHT_UP_RETRY_MS = 2;
const int PACE_MIN_MS = 10;
const int LINGER_MS = 20;
const int KEYBOARDLESS_PACES = 3;
/* Where udevd has not broadcast the device by then, it is taken as
 * announced then; and where its listeners have not all taken the broadcast
 * that long after it, as taken. */
const int ANNOUNCE_MS = 1000;

const char INPUT_DIR[] = "/dev/input";
const char INPUT_CLASS_DIR[] = "/sys/class/input";
/* Where udev keeps what it learnt of each device; it writes a device's entry
 * there once its rules applied, before their RUN programs. */
const char UDEV_DATA_DIR[] = "/run/udev/data";
/* udevd's control socket: where it is missing, no udevd runs to broadcast. */
const char UDEV_CONTROL[] = "/run/udev/control";
/* The multicast group of the kernel's uevent family that udevd sends to;
 * group 1 is the kernel's own. */
const unsigned UDEV_GROUP = 2;
const char *const UINPUT_NODES[] = {"/dev/uinput", "/dev/input/uinput"};
/* The kernel's table of netlink sockets: each one's family, port, groups and
 * the bytes waiting in its queue. */
const char NETLINK_TABLE[] = "/proc/net/netlink";

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
 * wakes this one.  Where the node cannot be locked at all, nothing waits.
 * The watch is made only when needed, since closing it costs the kernel a
 * grace period. */
bool lockUinput(int fd, const char *node) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    int closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closes >= 0)
        inotify_add_watch(closes, node, IN_CLOSE_WRITE);
    long long deadline = nowMs() + LOCK_MS;
    int busy;
    while ((busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) &&
           nowMs() < deadline) {
        /* A watch that failed leaves the retries alone to wake it. */
        pollfd fds = {closes, POLLIN, 0};
        poll(&fds, 1, PROBE_RETRY_MS);
        alignas(inotify_event) char buffer[4096];
        while (closes >= 0 && read(closes, buffer, sizeof buffer) > 0) {
        }
    }
    if (closes >= 0)
        close(closes);
    return !busy;
}

/* Whether one event node's device has keys below the buttons, as a
 * keyboard, a remote's receiver or a power button has: what gives a
 * compositor's seat a keyboard.  Its capabilities in sysfs are words in hex,
 * the highest first. */
bool hasKeys(const char *node) {
    char path[320];
    snprintf(path, sizeof path, "%s/%s/device/capabilities/key", INPUT_CLASS_DIR, node);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[512];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    const size_t wordBits = 8 * sizeof(unsigned long);
    unsigned long words[KEY_CNT / (8 * sizeof(unsigned long)) + 1] = {};
    size_t count = 0;
    for (char *at = text, *end; count < sizeof words / sizeof words[0]; at = end) {
        unsigned long word = strtoul(at, &end, 16);
        if (end == at)
            break;
        words[count++] = word;
    }
    for (size_t bit = 1; bit < BTN_MISC && bit / wordBits < count; ++bit)
        if (words[count - 1 - bit / wordBits] >> (bit % wordBits) & 1)
            return true;
    return false;
}

/* Whether the directory at `path` can be read, and `found`, whether it has an
 * event node's entry (such as "event7") that `match` takes. */
template <typename Match> bool findEventEntry(const char *path, Match match, bool &found) {
    found = false;
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    alignas(dirent64) char buffer[4096];
    ssize_t length;
    while (!found && (length = getdents64(dir, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; !found && at < length;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            found = strncmp(entry->d_name, "event", 5) == 0 && match(entry->d_name);
            at += entry->d_reclen;
        }
    close(dir);
    return true;
}

/* Whether an input device with keys exists, before this run's own. */
bool anyKeyboard() {
    bool found;
    return !findEventEntry(INPUT_CLASS_DIR, hasKeys, found) || found;
}

/* The name udev gives the node's entry: "c" and its device number. */
bool findUdevEntry(const char *path, char *entry, size_t size) {
    struct stat st = {};
    if (stat(path, &st) != 0)
        return false;
    snprintf(entry, size, "c%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return true;
}

/* Listens for udevd's broadcasts, from before the device exists; -1 where
 * no udevd runs or none can be heard. */
int listenToUdev() {
    if (access(UDEV_CONTROL, F_OK) != 0)
        return -1;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -1;
    sockaddr_nl address = {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = UDEV_GROUP;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Whether the next message on the socket is udevd's broadcast of `devpath`
 * being added; false once nothing is left to read.  Only root may send to
 * the group, and the kernel's own messages come from port 0; anything else
 * (a unicast, a sender without credentials or not root) is passed over, as
 * libudev does. */
bool heardAdd(int fd, const char *devpath, bool &more) {
    alignas(4) unsigned char message[UDEV_MAX_MESSAGE_BYTES];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    sockaddr_nl sender = {};
    iovec data = {message, sizeof message};
    msghdr header = {};
    header.msg_name = &sender;
    header.msg_namelen = sizeof sender;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t length = recvmsg(fd, &header, 0);
    /* A full queue lost messages, maybe this one: the bound then decides. */
    more = length >= 0 || errno == ENOBUFS;
    if (length < 0 || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
        return false;
    const cmsghdr *passed = CMSG_FIRSTHDR(&header);
    if (!passed || passed->cmsg_level != SOL_SOCKET || passed->cmsg_type != SCM_CREDENTIALS)
        return false;
    ucred credentials;
    memcpy(&credentials, CMSG_DATA(passed), sizeof credentials);
    UdevEvent event;
    return credentials.uid == 0 && sender.nl_pid != 0 && sender.nl_groups != 0 &&
           readUdevMessage(message, static_cast<size_t>(length), event) && event.action &&
           strcmp(event.action, "add") == 0 && event.devpath && strcmp(event.devpath, devpath) == 0;
}

/* Whether every other listener to udevd's broadcasts has taken from its
 * queue what was sent to it; true where that cannot be known.  A listener
 * that has taken the broadcast of a device opens the node next, if at all.
 * `listeners` counts them, or is -1 where they cannot be seen. */
bool listenersCaughtUp(unsigned ownPort, int &listeners) {
    listeners = -1;
    int fd = open(NETLINK_TABLE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    listeners = 0;
    bool caughtUp = true;
    char text[4096];
    size_t kept = 0;
    ssize_t length;
    while ((length = read(fd, text + kept, sizeof text - 1 - kept)) > 0) {
        size_t end = kept + static_cast<size_t>(length);
        text[end] = '\0';
        char *line = text;
        for (char *newline; (newline = strchr(line, '\n')) != nullptr; line = newline + 1) {
            *newline = '\0';
            int family = -1;
            unsigned port = 0, groups = 0, queued = 0;
            if (sscanf(line, "%*s %d %u %x %u", &family, &port, &groups, &queued) == 4 &&
                family == NETLINK_KOBJECT_UEVENT && (groups & UDEV_GROUP) && port != ownPort) {
                ++listeners;
                caughtUp = caughtUp && queued == 0;
            }
        }
        /* A line cut by the read goes to the front, for the rest of it. */
        kept = end - static_cast<size_t>(line - text);
        memmove(text, line, kept);
        if (kept == sizeof text - 1)
            kept = 0;
    }
    close(fd);
    return caughtUp;
}

bool createDevice(int fd, uint16_t code) {
    uinput_setup setup = {};
    setup.id.bustype = BUS_VIRTUAL;
    snprintf(setup.name, sizeof setup.name, "mediakey");
    return ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_KEYBIT, code) == 0 &&
           ioctl(fd, UI_SET_EVBIT, EV_MSC) == 0 && ioctl(fd, UI_SET_MSCBIT, MSC_SCAN) == 0 &&
           ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
}

/* The device's event node, such as "event7", and its path in sysfs as udev
 * names it, from sysfs: the evdev handler lists the node in the device's
 * directory once the device is registered. */
bool findEventNode(int fd, char *node, size_t size, char *devpath, size_t pathSize) {
    char sysname[64] = "";
    if (ioctl(fd, UI_GET_SYSNAME(sizeof sysname), sysname) < 0)
        return false;
    char path[128];
    snprintf(path, sizeof path, "/sys/devices/virtual/input/%s", sysname);
    bool found;
    findEventEntry(
        path,
        [&](const char *name) {
            return strlen(name) < size && snprintf(node, size, "%s", name) > 0;
        },
        found);
    return found && snprintf(devpath, pathSize, "%s/%s", path + strlen("/sys"), node) <
                        static_cast<int>(pathSize);
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
    int monitor; /* udevd's broadcasts, or -1 */
    int dirWatch;
    int nodeWatch;
    int udevWatch;
    char node[32];
    char path[64];      /* the node under INPUT_DIR */
    char devpath[160];  /* the node's path in sysfs, as udevd names it */
    char udevEntry[32]; /* the node's entry under UDEV_DATA_DIR, such as "c13:67" */
    uint16_t code;
    Stage stage;
    long long createdAt;
    long long appliedAt;   /* when udev had applied its rules; 0 before */
    long long announcedAt; /* when udevd broadcast the device; 0 before */
    long long caughtUpAt;  /* when its listeners had all taken that; 0 before */
    int listeners;         /* how many others listen to udevd, or -1 */
    unsigned port;         /* the monitor's own netlink port */
    int open;              /* readers that have the node open */
    int heardOpens;        /* opens since udevd's broadcast, by its listeners */
    long long lastOpenAt;
    int answers;          /* reads of probes since the last open, the last one clean */
    long long answeredAt; /* when they came to two */
    bool alone;           /* no other device with keys: a seat without a keyboard */
    int roundProbes;      /* probes written since the last read */
    long long roundAt;    /* when the first of them went out */
    long long probeAt;    /* when the last of them went out */
    long long lingerUntil;
};

long long announced(const Press &p) {
    return p.announcedAt ? p.announcedAt : p.createdAt + ANNOUNCE_MS;
}

/* The time udev took to apply its rules to the device: how fast readers,
 * which do much the same work on a new device, go on this machine at its
 * present load.  Its RUN programs, which may take long, are not counted. */
long long pace(const Press &p) {
    long long took = (p.appliedAt ? p.appliedAt : announced(p)) - p.createdAt;
    return took < PACE_MIN_MS ? PACE_MIN_MS : took;
}

/* With several readers the answers may all come from one while another is
 * still between its open and its loop.  Only probes written twice the pace
 * after the last open count then: by that time every reader is in its loop,
 * and their reads of those probes also consume any marker that step 3
 * left. */
long long settledAt(const Press &p) {
    return p.open > 1 ? p.lastOpenAt + 2 * pace(p) : 0;
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
        p.heardOpens += p.announcedAt != 0;
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
            p.stage = p.open > 1 ? LINGERING : DONE;
            p.lingerUntil = now + (pace(p) > LINGER_MS ? pace(p) : LINGER_MS);
            return true;
        case LINGERING:
        case DONE:
            return true;
        }
    }
    if (event.wd == p.udevWatch && event.len > 0 && strcmp(event.name, p.udevEntry) == 0 &&
        p.appliedAt == 0)
        p.appliedAt = now;
    return !before || watchNode(p);
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
    /* No report comes when a queue empties: it is looked at again soon. */
    if (p.caughtUpAt == 0 && now >= announced(p)) {
        p.listeners = -1;
        if (p.monitor < 0 || now >= announced(p) + ANNOUNCE_MS ||
            listenersCaughtUp(p.port, p.listeners))
            p.caughtUpAt = now;
        else
            wakeAt = now + CAUGHT_UP_RETRY_MS;
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
         * broadcast than listen (a reader that udev handed the node before
         * it is none of them), the key gives them the pace. */
        long long opened = OPENED_MS;
        if ((p.listeners < 0 || p.heardOpens < p.listeners) && pace(p) > opened)
            opened = pace(p);
        long long ready = p.caughtUpAt + opened;
        long long paced = announced(p) + pace(p) / 4;
        if (paced > ready)
            ready = paced;
        if (settledAt(p) > ready)
            ready = settledAt(p);
        /* A reader busy right after its open (sway sets up each new
         * keyboard) reads the probes, and a marker left before them, only
         * later: the key must not queue behind those. */
        if (p.open > 1 && p.answeredAt + pace(p) > ready)
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
    wakeAt = p.probeAt + PROBE_RETRY_MS < lookAgainAt ? p.probeAt + PROBE_RETRY_MS : lookAgainAt;
    return true;
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
 * or the deadline passes. */
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
        pollfd fds[] = {{p.notify, POLLIN, 0}, {p.announcedAt ? -1 : p.monitor, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left > 0 ? left : 0)) < 0 && errno != EINTR)
            return WAIT_FAILED;
        if (fds[1].revents && !hear(p))
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
    /* Without udevd nothing waits for its broadcast. */
    if (p.monitor < 0)
        p.announcedAt = p.createdAt;
    if (!createDevice(p.uinput, p.code))
        return UINPUT_REFUSED;
    if (!findEventNode(p.uinput, p.node, sizeof p.node, p.devpath, sizeof p.devpath))
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
    p.notify = p.monitor = p.dirWatch = p.nodeWatch = p.udevWatch = -1;
    p.code = key.evdevCode;
    p.stage = PROBING;
    UinputOutcome outcome = UINPUT_MISSING;
    const char *node = nullptr;
    p.uinput = openUinput(outcome, node);
    if (p.uinput < 0)
        return outcome;
    /* The lock goes with the node's close, after the device is gone. */
    if (!lockUinput(p.uinput, node)) {
        close(p.uinput);
        return UINPUT_BUSY;
    }
    p.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    outcome = p.notify < 0 ? UINPUT_REFUSED : pressOn(p);
    ioctl(p.uinput, UI_DEV_DESTROY);
    close(p.uinput);
    if (p.notify >= 0)
        close(p.notify);
    if (p.monitor >= 0)
        close(p.monitor);
    return outcome;
}
