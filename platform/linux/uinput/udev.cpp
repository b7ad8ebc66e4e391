/* udevd: its broadcast of the device, which libinput waits for before it
 * opens the node; its other listeners' queues, which show whether they have
 * taken that broadcast; and the pace of its work on the device, which the
 * waits for readers scale with. */
#include "udev_message.h"
#include "uinput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace uinput {

namespace {

/* The least pace, so that the waits it sets never shrink to nothing where
 * udev applied its rules at once. */
const int PACE_MIN_MS = 10;

/* udevd's control socket: where it is missing, no udevd runs to broadcast. */
const char UDEV_CONTROL[] = "/run/udev/control";
const char UDEV_QUEUE[] = "/run/udev/queue";
/* The multicast groups of the kernel's uevent family: the kernel's own, and
 * the one that udevd sends to. */
const unsigned KERNEL_GROUP = 1;
const unsigned UDEV_GROUP = 2;
/* The kernel's table of netlink sockets: each one's family, port, groups and
 * the bytes waiting in its queue. */
const char NETLINK_TABLE[] = "/proc/net/netlink";

/* The kernel's stamp of a file's last write, in ms of the realtime clock;
 * -1 where it has none. */
long long writtenAt(const char *path) {
    struct stat st = {};
    if (stat(path, &st) != 0)
        return -1;
    return st.st_mtim.tv_sec * 1000LL + st.st_mtim.tv_nsec / 1000000;
}

} // namespace

/* Where udev keeps what it learnt of each device; it writes a device's entry
 * there once its rules applied, before their RUN programs. */
const char UDEV_DATA_DIR[] = "/run/udev/data";

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

namespace {

/* Reads the kernel's table of netlink sockets: the listeners to udevd's
 * broadcasts other than the one on `ownPort`, the inodes of the first
 * MAX_LISTENERS of them where `inodes` is given, whether every one of them has taken from its queue
 * what was sent to it, and whether some listener to the kernel's own events
 * (udevd's socket among them) has not.  False where it cannot be read. */
bool readSockets(unsigned ownPort, int &listeners, unsigned long *inodes, bool &caughtUp,
                 bool &kernelQueued) {
    listeners = 0;
    caughtUp = true;
    kernelQueued = false;
    int fd = open(NETLINK_TABLE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
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
            unsigned long inode = 0;
            if (sscanf(line, "%*s %d %u %x %u %*s %*s %*s %*s %lu", &family, &port, &groups,
                       &queued, &inode) != 5 ||
                family != NETLINK_KOBJECT_UEVENT)
                continue;
            if ((groups & KERNEL_GROUP) && queued > 0)
                kernelQueued = true;
            if ((groups & UDEV_GROUP) && port != ownPort) {
                if (inodes && listeners < MAX_LISTENERS)
                    inodes[listeners] = inode;
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
    return true;
}

} // namespace

/* Whether every other listener to udevd's broadcasts has taken from its
 * queue what was sent to it; true where that cannot be known.  A listener
 * that has taken the broadcast of a device opens the node next, if at all.
 * p.listeners counts them, or is -1 where they cannot be seen, and
 * p.listenerInodes holds their sockets' inodes, as far as they fit. */
bool listenersCaughtUp(Press &p) {
    bool caughtUp, kernelQueued;
    if (!readSockets(p.port, p.listeners, p.listenerInodes, caughtUp, kernelQueued))
        p.listeners = -1;
    return caughtUp;
}

/* Whether udevd has events still to finish: it keeps this file while it
 * does.  Until it has applied its rules to the device, the device's event
 * may not even be in its queue: a busy machine kept udevd for seconds from
 * taking it from its socket, which the kernel's table shows as it shows
 * every listener's to the kernel's events. */
bool udevAtWork(const Press &p) {
    if (access(UDEV_QUEUE, F_OK) == 0)
        return true;
    if (p.appliedAt != 0)
        return false;
    int listeners;
    bool caughtUp, kernelQueued;
    return readSockets(0, listeners, nullptr, caughtUp, kernelQueued) && kernelQueued;
}

/* When udev started on the node, on this run's clock, given when its entry
 * for the node was seen: udev takes up the node once it is done with the
 * input device that the node belongs to, and writes that device's entry
 * before.  The kernel stamps both entries as written, so a run that a busy
 * machine lets look only later does not take udev's work as shorter than
 * it was; 0 where that cannot be told. */
long long udevStartedAt(const Press &p, long long appliedAt) {
    const char *node = strrchr(p.devpath, '/');
    const char *device = node;
    while (device && device > p.devpath && device[-1] != '/')
        --device;
    if (!node || !device || device == node)
        return 0;
    char path[128];
    snprintf(path, sizeof path, "%s/+input:%.*s", UDEV_DATA_DIR, static_cast<int>(node - device),
             device);
    long long deviceAt = writtenAt(path);
    snprintf(path, sizeof path, "%s/%s", UDEV_DATA_DIR, p.udevEntry);
    long long nodeAt = writtenAt(path), took = nodeAt - deviceAt;
    if (deviceAt < 0 || nodeAt < 0 || took < 0 || took > appliedAt - p.createdAt)
        return 0;
    return appliedAt - took;
}

long long announced(const Press &p) {
    return p.announcedAt ? p.announcedAt : p.announceBy;
}

/* How fast readers go on this machine at its present load: the time udev
 * took to apply its rules to the device, which is much the same work as
 * theirs on a new device (its RUN programs, which may take long, are not
 * counted), or the readers' own time where that was longer.  udev's time
 * from the device's creation, which the waits that scale with it were
 * measured by, counts up to ANNOUNCE_MS: past that, only its time on the node
 * itself, since the events queued before it (a burst's took 17 s on a busy
 * emulated machine whose readers opened the node 1.2 s after udev's
 * broadcast) are no work of the readers'. */
long long pace(const Press &p) {
    long long done = p.appliedAt ? p.appliedAt : announced(p);
    long long took = done - p.createdAt;
    if (took > ANNOUNCE_MS) {
        /* Before udev applied its rules its time is all queue, as far as
         * this run can tell. */
        long long onNode = p.udevStartedAt > p.createdAt ? done - p.udevStartedAt
                           : p.appliedAt                 ? took
                                                         : ANNOUNCE_MS;
        took = onNode > ANNOUNCE_MS ? onNode : ANNOUNCE_MS;
    }
    if (p.readerPace > took)
        took = p.readerPace;
    return took < PACE_MIN_MS ? PACE_MIN_MS : took;
}

} // namespace uinput
