/* udevd: its broadcast of the device, which libinput waits for before it
 * opens the node; its other listeners' queues, which show whether they have
 * taken that broadcast; and the pace of its work on the device, which the
 * waits for readers scale with. */
#include "udev_message.h"
#include "uinput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

namespace uinput {

namespace {

/* The least pace, so that the waits it sets never shrink to nothing where
 * udev applied its rules at once. */
const int PACE_MIN_MS = 10;

/* udevd's control socket: where it is missing, no udevd runs to broadcast. */
const char UDEV_CONTROL[] = "/run/udev/control";
const char UDEV_QUEUE[] = "/run/udev/queue";
/* The multicast group of the kernel's uevent family that udevd sends to;
 * group 1 is the kernel's own. */
const unsigned UDEV_GROUP = 2;
/* The kernel's table of netlink sockets: each one's family, port, groups and
 * the bytes waiting in its queue. */
const char NETLINK_TABLE[] = "/proc/net/netlink";

/* When a message stamped `stamp` (the realtime clock's) came, on the
 * monotonic clock: a run that a busy machine lets read only later would
 * take it as later, and udev's work after it as shorter. */
long long cameAt(const timeval &stamp) {
    timespec real = {};
    long long now = nowMs();
    if (clock_gettime(CLOCK_REALTIME, &real) != 0)
        return now;
    long long age =
        (real.tv_sec - stamp.tv_sec) * 1000LL + (real.tv_nsec / 1000 - stamp.tv_usec) / 1000;
    /* A clock set meanwhile says nothing of the age. */
    return age > 0 && age < now ? now - age : now;
}

} // namespace

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
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Whether the next message on the socket is udevd's broadcast of `devpath`
 * being added, or of its parent's, and when it came; `more` is false once
 * nothing is left to read.  Only root may send to the group, and the
 * kernel's own messages come from port 0; anything else (a unicast, a sender
 * without credentials or not root) is passed over, as libudev does. */
Heard heardAdd(int fd, const char *devpath, long long &at, bool &more) {
    alignas(4) unsigned char message[UDEV_MAX_MESSAGE_BYTES];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(timeval))];
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
        return HEARD_OTHER;
    bool credited = false;
    ucred credentials = {};
    at = nowMs();
    for (cmsghdr *passed = CMSG_FIRSTHDR(&header); passed; passed = CMSG_NXTHDR(&header, passed)) {
        if (passed->cmsg_level == SOL_SOCKET && passed->cmsg_type == SCM_CREDENTIALS) {
            memcpy(&credentials, CMSG_DATA(passed), sizeof credentials);
            credited = true;
        } else if (passed->cmsg_level == SOL_SOCKET && passed->cmsg_type == SCM_TIMESTAMP) {
            timeval stamp;
            memcpy(&stamp, CMSG_DATA(passed), sizeof stamp);
            at = cameAt(stamp);
        }
    }
    UdevEvent event;
    if (!credited || credentials.uid != 0 || sender.nl_pid == 0 || sender.nl_groups == 0 ||
        !readUdevMessage(message, static_cast<size_t>(length), event) || !event.action ||
        strcmp(event.action, "add") != 0 || !event.devpath)
        return HEARD_OTHER;
    if (strcmp(event.devpath, devpath) == 0)
        return HEARD_NODE;
    /* The node's parent: the input device that the node belongs to. */
    size_t parent = strlen(event.devpath);
    const char *rest = devpath + parent;
    return strncmp(event.devpath, devpath, parent) == 0 && rest[0] == '/' && !strchr(rest + 1, '/')
               ? HEARD_PARENT
               : HEARD_OTHER;
}

/* Whether every other listener to udevd's broadcasts has taken from its
 * queue what was sent to it; true where that cannot be known.  A listener
 * that has taken the broadcast of a device opens the node next, if at all.
 * p.listeners counts them, or is -1 where they cannot be seen, and
 * p.listenerInodes holds their sockets' inodes, as far as they fit. */
bool listenersCaughtUp(Press &p) {
    p.listeners = -1;
    int fd = open(NETLINK_TABLE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    p.listeners = 0;
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
            unsigned long inode = 0;
            if (sscanf(line, "%*s %d %u %x %u %*s %*s %*s %*s %lu", &family, &port, &groups,
                       &queued, &inode) == 5 &&
                family == NETLINK_KOBJECT_UEVENT && (groups & UDEV_GROUP) && port != p.port) {
                if (p.listeners < MAX_LISTENERS)
                    p.listenerInodes[p.listeners] = inode;
                ++p.listeners;
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

/* Whether udevd has events still to finish: it keeps this file while it
 * does. */
bool udevAtWork() {
    return access(UDEV_QUEUE, F_OK) == 0;
}

long long announced(const Press &p) {
    return p.announcedAt ? p.announcedAt : p.announceBy;
}

/* How fast readers go on this machine at its present load: the time udev
 * took to apply its rules to the device, which is much the same work as
 * theirs on a new device (its RUN programs, which may take long, are not
 * counted), or the readers' own time where that was longer.  udev starts on
 * the node once it has broadcast the input device the node belongs to: the
 * events queued before that (a burst's, a slow rule's) took 17 s on a busy
 * emulated machine whose readers opened the node 1.2 s after the broadcast. */
long long pace(const Press &p) {
    long long from = p.udevFromAt > p.createdAt ? p.udevFromAt : p.createdAt;
    long long took = (p.appliedAt ? p.appliedAt : announced(p)) - from;
    if (p.readerPace > took)
        took = p.readerPace;
    return took < PACE_MIN_MS ? PACE_MIN_MS : took;
}

} // namespace uinput
