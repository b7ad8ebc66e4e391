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

/* A new input device is no use until a reader has opened its event node:
 * events written before that reach no one, and events still unread when the
 * device goes are lost too.  So the press is timed by what the kernel
 * reports through inotify, never by sleeping.
 *
 * The bounds: a desktop's compositor or X server opens a new keyboard within
 * tens of milliseconds of udev announcing it.  READER_MS leaves a loaded
 * machine, and a reader that comes 300 ms late, several times that; with
 * RELEASE_MS after it, a press that nobody reads ends within 2.5 s of the
 * device's creation, inside 3 s in all. */
const int READER_MS = 2000;
const int RELEASE_MS = 500;

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

bool writeKey(int fd, uint16_t code, int value) {
    input_event events[2] = {};
    events[0].type = EV_KEY;
    events[0].code = code;
    events[0].value = value;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    return write(fd, events, sizeof events) == static_cast<ssize_t>(sizeof events);
}

/* Who has the device's node open, as far as inotify tells: it reports opens
 * and closes by name on the directory, reads only on a watch of the node. */
struct Readers {
    int open = 0;
    int holding = 0; /* of those, the ones open when the press was written */
    bool keyDown = false;
    bool pressRead = false;
    bool releaseRead = false;
};

struct Press {
    int uinput;
    int notify;
    int dirWatch;
    int nodeWatch;
    char node[32];
    uint16_t code;
    Readers readers;
};

/* What one read of the inotify queue told, taken together: deciding on each
 * event alone would act on a past that the later events already undid. */
struct Batch {
    int opens = 0;
    int closes = 0;
    bool read = false;
};

bool tally(Press &p, const inotify_event &event, Batch &batch) {
    if (event.wd == p.nodeWatch && (event.mask & IN_ACCESS)) {
        batch.read = true;
        return true;
    }
    if (event.wd != p.dirWatch || event.len == 0 || strcmp(event.name, p.node) != 0)
        return true;
    if (event.mask & IN_OPEN) {
        ++batch.opens;
        if (p.nodeWatch < 0) {
            char path[64];
            snprintf(path, sizeof path, "%s/%s", INPUT_DIR, p.node);
            p.nodeWatch = inotify_add_watch(p.notify, path, IN_ACCESS);
            return p.nodeWatch >= 0;
        }
    } else if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
        ++batch.closes;
    }
    return true;
}

/* Writes the press to whoever has the node open.  An opener that closes
 * without reading, such as udev probing the new device, takes its copy of
 * the press with it: the key goes up again where nobody sees it, or where a
 * newer opener sees only a stray key-up, and goes down anew for the openers
 * there are now. */
bool act(Press &p, const Batch &batch) {
    Readers &r = p.readers;
    r.open += batch.opens;
    /* A reader of an earlier device that had the same name may close after
     * the watch began. */
    int closes = batch.closes < r.open ? batch.closes : r.open;
    r.open -= closes;
    r.holding = r.holding > closes ? r.holding - closes : 0;
    if (batch.read) {
        if (r.pressRead) {
            r.releaseRead = true;
            return true;
        }
        r.pressRead = true;
        return writeKey(p.uinput, p.code, 0);
    }
    if (r.pressRead)
        return true;
    if (r.keyDown && r.holding == 0) {
        if (!writeKey(p.uinput, p.code, 0))
            return false;
        r.keyDown = false;
    }
    if (!r.keyDown && r.open > 0) {
        if (!writeKey(p.uinput, p.code, 1))
            return false;
        r.keyDown = true;
        r.holding = r.open;
    }
    return true;
}

enum Wait { WAIT_DONE, WAIT_TIMED_OUT, WAIT_FAILED };

/* Handles what inotify reports until done() holds or the deadline passes. */
template <typename Done> Wait waitUntil(Press &p, long long deadline, Done done) {
    alignas(inotify_event) char buffer[4096];
    while (!done(p.readers)) {
        long long left = deadline - nowMs();
        if (left <= 0)
            return WAIT_TIMED_OUT;
        pollfd fds = {p.notify, POLLIN, 0};
        if (poll(&fds, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return WAIT_FAILED;
        Batch batch;
        ssize_t length;
        while ((length = read(p.notify, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (!tally(p, *event, batch))
                    return WAIT_FAILED;
                at += static_cast<ssize_t>(sizeof *event + event->len);
            }
        }
        if (!act(p, batch))
            return WAIT_FAILED;
    }
    return WAIT_DONE;
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

    switch (waitUntil(p, nowMs() + READER_MS, [](const Readers &r) { return r.pressRead; })) {
    case WAIT_DONE:
        break;
    case WAIT_TIMED_OUT:
        return UINPUT_NO_READER;
    case WAIT_FAILED:
        return UINPUT_REFUSED;
    }
    /* The press was read; the release is written by now.  Waiting for it to
     * be read too keeps it from going with the device. */
    waitUntil(p, nowMs() + RELEASE_MS,
              [](const Readers &r) { return r.releaseRead || r.open == 0; });
    return UINPUT_PRESSED;
}

} // namespace

UinputOutcome pressUinput(const LinuxKey &key) {
    Press p = {-1, -1, -1, -1, "", key.evdevCode, {}};
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
