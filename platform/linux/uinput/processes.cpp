/* The processes behind udevd's other listeners, where this user may look
 * at them.  A listener in a process that reads input devices (a compositor,
 * libinput) opens a new keyboard's node next; one in a process that reads
 * none (udisks2, a `udevadm monitor`, wlroots' watch on display devices)
 * never does, and nothing need wait for it. */
#include "uinput.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uinput {

namespace {

const char INPUT_NODE_PREFIX[] = "/dev/input/event";
const char SOCKET_PREFIX[] = "socket:[";
/* The open file descriptors of process `pid`, or -1 where they may not be
 * looked at or the process is gone. */
int openFds(int pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/fd", pid);
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

/* Calls each(name) for each descriptor in the directory, which it closes,
 * until each returns false. */
template <typename Each> void forEachFd(int dirFd, Each each) {
    DIR *dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.' && !each(dirfd(dir), entry->d_name))
            break;
    closedir(dir);
}

/* Whether process `pid` has the node at `path` open: 1 or 0, or -1 where it
 * may not be looked at or is gone.  Only a descriptor whose link names the
 * node is looked at further, since a stat of another could wait on another
 * user's file system for good; the node is told by its inode, since a
 * device gone just before may have had the same name. */
int holds(int pid, const char *path, const struct stat &node) {
    int fds = openFds(pid);
    if (fds < 0)
        return -1;
    bool opened = false;
    forEachFd(fds, [&](int dir, const char *name) {
        char target[64];
        ssize_t length = readlinkat(dir, name, target, sizeof target - 1);
        if (length <= 0)
            return true;
        target[length] = '\0';
        struct stat st;
        opened = strcmp(target, path) == 0 && fstatat(dir, name, &st, 0) == 0 &&
                 st.st_ino == node.st_ino && st.st_dev == node.st_dev && st.st_rdev == node.st_rdev;
        return !opened;
    });
    return opened ? 1 : 0;
}

} // namespace

/* Finds the processes whose listeners (p.listenerInodes, as they took the
 * broadcast) read input devices, and counts the listeners in no process it
 * may look at. */
void findReaders(Press &p) {
    p.readersFound = true;
    p.readerCount = 0;
    p.unseenListeners = p.listeners;
    int known = p.listeners < MAX_LISTENERS ? p.listeners : MAX_LISTENERS;
    bool seen[MAX_LISTENERS] = {};
    DIR *proc = opendir("/proc");
    if (!proc)
        return;
    int self = getpid();
    while (const dirent *entry = readdir(proc)) {
        char *end;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        int fds = openFds(static_cast<int>(pid));
        if (fds < 0)
            continue;
        bool listens = false, reads = false;
        forEachFd(fds, [&](int dir, const char *name) {
            char target[64];
            ssize_t length = readlinkat(dir, name, target, sizeof target - 1);
            if (length <= 0)
                return true;
            target[length] = '\0';
            if (strncmp(target, INPUT_NODE_PREFIX, sizeof INPUT_NODE_PREFIX - 1) == 0)
                reads = true;
            if (strncmp(target, SOCKET_PREFIX, sizeof SOCKET_PREFIX - 1) != 0)
                return true;
            unsigned long inode = strtoul(target + sizeof SOCKET_PREFIX - 1, nullptr, 10);
            for (int i = 0; i < known; ++i)
                if (p.listenerInodes[i] == inode)
                    listens = seen[i] = true;
            return true;
        });
        if (listens && reads && p.readerCount < MAX_READERS)
            p.readers[p.readerCount++] = static_cast<int>(pid);
    }
    closedir(proc);
    for (int i = 0; i < known; ++i)
        p.unseenListeners -= seen[i];
}

/* Whether every reading process found has this device's node open, or is
 * gone; with idleCount, or is in its loop without it, as one that reads
 * input but never this device is. */
bool readersOpened(const Press &p, bool idleCount) {
    struct stat node;
    if (stat(p.path, &node) != 0)
        return true;
    for (int i = 0; i < p.readerCount; ++i)
        if (holds(p.readers[i], p.path, node) == 0 &&
            !(idleCount && inLoop(p.readers[i]) && !awaitedOpener(p, p.readers[i])))
            return false;
    return true;
}

/* Whether a reading process found is on its way to this device's keys: it
 * holds the node, whose open's report may still be unread, or is busy
 * without it, not in its loop, or had the last keyboard open. */
bool readersComing(const Press &p) {
    struct stat node;
    if (stat(p.path, &node) != 0)
        return false;
    for (int i = 0; i < p.readerCount; ++i) {
        int held = holds(p.readers[i], p.path, node);
        if (held == 1 || (held == 0 && (!inLoop(p.readers[i]) || awaitedOpener(p, p.readers[i]))))
            return true;
    }
    return false;
}

/* Whether a reading process found that had the last keyboard open is still
 * waited for without the node. */
bool openerMissing(const Press &p) {
    struct stat node;
    if (stat(p.path, &node) != 0)
        return false;
    for (int i = 0; i < p.readerCount; ++i)
        if (awaitedOpener(p, p.readers[i]) && holds(p.readers[i], p.path, node) == 0)
            return true;
    return false;
}

/* Whether every process that had the last keyboard open has this one open
 * too, or may not be looked at, or is gone. */
bool openersHold(const Press &p) {
    struct stat node;
    if (stat(p.path, &node) != 0)
        return true;
    for (int i = 0; i < p.openerCount; ++i)
        if (holds(p.openers[i], p.path, node) == 0)
            return false;
    return true;
}

/* Whether the one reading process found holds the node as its one open:
 * that open was its own or that of the process that handed it the node
 * (seatd, logind), which reads nothing of it, and any other holder would
 * have opened it too. */
bool soleReaderHolds(const Press &p) {
    struct stat node;
    return p.readersFound && p.readerCount == 1 && p.open == 1 && stat(p.path, &node) == 0 &&
           holds(p.readers[0], p.path, node) == 1;
}

/* Keeps of the reading processes found those that have the node open. */
void keepHolders(Press &p) {
    struct stat node;
    int kept = 0;
    for (int i = 0; stat(p.path, &node) == 0 && i < p.readerCount; ++i)
        if (holds(p.readers[i], p.path, node) == 1)
            p.readers[kept++] = p.readers[i];
    p.readerCount = kept;
}

/* Takes the processes that have the node open, where this user may look at
 * them, as the readers: those that a keeper's keys wake. */
void findHolders(Press &p) {
    p.readerCount = 0;
    struct stat node;
    DIR *proc = opendir("/proc");
    if (!proc || stat(p.path, &node) != 0) {
        if (proc)
            closedir(proc);
        return;
    }
    int self = getpid();
    while (const dirent *entry = readdir(proc)) {
        char *end;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && pid != self && p.readerCount < MAX_READERS &&
            holds(static_cast<int>(pid), p.path, node) == 1)
            p.readers[p.readerCount++] = static_cast<int>(pid);
    }
    closedir(proc);
}

} // namespace uinput
