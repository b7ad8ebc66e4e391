/* The device: made with the media keys and MSC_SCAN for the probes, found by
 * its event node, written to one packet at a time, destroyed; and whether
 * the seat had another device with keys before it. */
#include "uinput.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace uinput {

namespace {

const char INPUT_CLASS_DIR[] = "/sys/class/input";

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

} // namespace

/* Whether an input device with keys exists, before this run's own. */
bool anyKeyboard() {
    bool found;
    return !findEventEntry(INPUT_CLASS_DIR, hasKeys, found) || found;
}

/* Every media key, so that a keeper may press any of them on it. */
bool createDevice(int fd) {
    uinput_setup setup = {};
    setup.id.bustype = BUS_VIRTUAL;
    snprintf(setup.name, sizeof setup.name, "mediakey");
    if (ioctl(fd, UI_SET_EVBIT, EV_KEY) != 0)
        return false;
    for (size_t i = 0; i < linuxKeyCount; ++i)
        if (ioctl(fd, UI_SET_KEYBIT, linuxKeys[i].evdevCode) != 0)
            return false;
    return ioctl(fd, UI_SET_EVBIT, EV_MSC) == 0 && ioctl(fd, UI_SET_MSCBIT, MSC_SCAN) == 0 &&
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

/* The key-down and the key-up, each a packet, in one write: a reader
 * woken by it reads both. */
bool writeKeystroke(int fd, uint16_t code) {
    input_event events[4] = {};
    for (int i = 0; i < 4; ++i) {
        events[i].type = i % 2 ? EV_SYN : EV_KEY;
        events[i].code = i % 2 ? SYN_REPORT : code;
        events[i].value = i == 0;
    }
    return write(fd, events, sizeof events) == static_cast<ssize_t>(sizeof events);
}

void destroyDevice(int fd) {
    ioctl(fd, UI_DEV_DESTROY);
}

} // namespace uinput
