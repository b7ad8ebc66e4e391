/* Benchmark helper: runs a command N times, one after the other, with its
 * output discarded, and stops each run's clock only once a file has grown
 * that tells the key arrived (appended to by the compositor's binding for it,
 * or by a focused client reading it), so that work the command leaves behind
 * is charged to it and not to the next run.  Prints each run's wall time in
 * milliseconds, and "missed" after it where the key did not arrive:
 *   fired_timer N FILE COMMAND [ARG...]
 *   -> 9.81
 *      2010.23 missed */
#include "timed_run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/* A key that has not arrived by then never will. */
static const int FIRED_TIMEOUT_MS = 2000;

static off_t sizeOf(const char *path) {
    struct stat s = {};
    return stat(path, &s) == 0 ? s.st_size : 0;
}

/* Waits until path is larger than before; false after the timeout. */
static bool grew(int notify, const char *path, off_t before) {
    double end = nowMs() + FIRED_TIMEOUT_MS;
    while (sizeOf(path) <= before) {
        double left = end - nowMs();
        if (left <= 0)
            return false;
        pollfd p = {notify, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left) + 1) > 0) {
            char events[4096];
            ssize_t ignored = read(notify, events, sizeof events);
            (void)ignored;
        }
    }
    return true;
}

int main(int argc, char *argv[]) {
    if (argc < 4) {
        fprintf(stderr, "usage: fired_timer N FILE COMMAND [ARG...]\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    const char *file = argv[2];
    int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify < 0 || inotify_add_watch(notify, file, IN_MODIFY) < 0) {
        perror(file);
        return 2;
    }
    for (int i = 0; i < runs; ++i) {
        off_t before = sizeOf(file);
        double start = nowMs();
        runQuietly(argv + 3);
        bool fired = grew(notify, file, before);
        printf("%.3f%s\n", nowMs() - start, fired ? "" : " missed");
    }
    return 0;
}
