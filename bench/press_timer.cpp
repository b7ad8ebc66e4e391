/* Benchmark helper: runs a command N times, one after the other, with its
 * output discarded, and prints the wall time per run:
 *   press_timer N COMMAND [ARG...]
 *   -> runs 10 mean 12.3 min 10.1 max 15.0 (ms) */
#include "timed_run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: press_timer N COMMAND [ARG...]\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    double total = 0, least = 1e12, most = 0;
    for (int i = 0; i < runs; ++i) {
        double start = nowMs();
        runQuietly(argv + 2);
        double took = nowMs() - start;
        total += took;
        least = took < least ? took : least;
        most = took > most ? took : most;
    }
    printf("runs %d mean %.1f min %.1f max %.1f\n", runs, total / runs, least, most);
    return 0;
}
