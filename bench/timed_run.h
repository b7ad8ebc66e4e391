#ifndef TIMED_RUN_H
#define TIMED_RUN_H

/* What the benchmark timers share: a monotonic clock in milliseconds, and one
 * run of a command with its output discarded, so that only its own time is
 * measured. */

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

static double nowMs() {
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

/* Runs argv[0] (a path) until it ends. */
static void runQuietly(char *const argv[]) {
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

#endif
