/* Whether a reader is back in its reading loop, waiting for input, from what
 * any user may read of a process of the same user without tracing it: each
 * thread's state and, for one asleep, the kernel function it sleeps in.
 * /proc/PID/syscall would name the call, but it needs the right to attach,
 * which Yama's ptrace_scope 1 refuses even for the user's own compositor and
 * logs each time; and mutter and KWin read input in threads of their own. */
#include "uinput.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace uinput {

namespace {

/* A reader waits for input in its loop's poll, epoll or select, or in a
 * blocking read of the node; the kernel names the function it sleeps in
 * after those ("do_epoll_wait", "ep_poll", "poll_schedule_timeout",
 * "do_select"), the same on each architecture.  A blocking read of anything
 * else is no wait for input: sway, running a binding's command, reads the
 * pid of its grandchild from a pipe before it goes back to its loop, and a
 * burst written meanwhile filled its queue on the keyboard. */
const char *const WAITING_IN[] = {"poll", "select"};
const char NODE_READ[] = "evdev_read";

/* Reads the small file `name` under the directory `dir` into `text`, ended
 * by a 0. */
bool readText(int dir, const char *name, char *text, size_t size) {
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t length = read(fd, text, size - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    return true;
}

/* Whether the kernel function that a sleeping thread waits in is a wait for
 * input.  "0" is what a thread that may not be looked at shows: asleep
 * counts then. */
bool waitsForInput(char *wchan) {
    if (strcmp(wchan, "0") == 0)
        return true;
    /* "poll_schedule_timeout.constprop.0": a copy the compiler made. */
    if (char *dot = strchr(wchan, '.'))
        *dot = '\0';
    for (const char *part : WAITING_IN)
        if (strstr(wchan, part))
            return true;
    return strcmp(wchan, NODE_READ) == 0;
}

enum ThreadState { THREAD_GONE, THREAD_WAITING, THREAD_STOPPED, THREAD_OTHER };

ThreadState threadState(int task) {
    char text[512];
    if (!readText(task, "stat", text, sizeof text))
        return THREAD_GONE;
    /* "TID (NAME) STATE ...", where the name may hold anything. */
    const char *name = strrchr(text, ')');
    if (!name || name[1] != ' ')
        return THREAD_GONE;
    switch (name[2]) {
    case 'Z':
    case 'X':
        return THREAD_GONE;
    case 'T':
    case 't':
        return THREAD_STOPPED;
    case 'S':
        break;
    default:
        return THREAD_OTHER;
    }
    return readText(task, "wchan", text, sizeof text) && waitsForInput(text) ? THREAD_WAITING
                                                                             : THREAD_OTHER;
}

} // namespace

/* Whether process `pid` is in its loop, waiting for input, or will never
 * read: one of its threads asleep in a wait for input, or all of them
 * stopped or gone.  A write of ours wakes each reader of the node, which
 * then runs until it has read it and gone back to waiting; one running or
 * busy elsewhere reads only later, and one asleep elsewhere too: sway,
 * asleep while it waited for the process that it started for a binding,
 * read a burst's keys only after its queue had overflowed. */
bool inLoop(int pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    int tasks = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0)
        return true;
    DIR *dir = fdopendir(tasks);
    if (!dir) {
        close(tasks);
        return true;
    }
    bool waits = false, stopped = true;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        int task = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (task < 0)
            continue;
        ThreadState state = threadState(task);
        close(task);
        waits = state == THREAD_WAITING;
        if (waits)
            break;
        stopped = stopped && state != THREAD_OTHER;
    }
    closedir(dir);
    return waits || stopped;
}

/* Whether every reading process found is in its loop. */
bool readersInLoops(const Press &p) {
    for (int i = 0; i < p.readerCount; ++i)
        if (!inLoop(p.readers[i]))
            return false;
    return true;
}

/* Whether more threads than cores want to run, this one aside: a process
 * idle there may be waiting for one that the machine starves. */
bool machineBusy() {
    int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    char text[128];
    ssize_t length = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
    if (fd >= 0)
        close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    /* "0.52 0.58 0.59 RUNNING/THREADS LAST_PID" */
    int running = 0;
    return sscanf(text, "%*s %*s %*s %d/", &running) == 1 &&
           running - 1 >= sysconf(_SC_NPROCESSORS_ONLN);
}

} // namespace uinput
