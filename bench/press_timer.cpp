/* Benchmark helper: runs a command N times, one after the other, each
 * started GAP ms after the one before where that one ended by then, with its
 * output discarded, and prints the wall time per run, the first's, the
 * longest of the others' and their sum:
 *   press_timer N GAP COMMAND [ARG...]
 *   -> runs 10 mean 12.3 min 10.1 max 15.0 first 15.0 later 11.2 total 123.0 (ms) */
#include "timed_run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    if (argc < 4) {
        fprintf(stderr, "usage: press_timer N GAP COMMAND [ARG...]\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    double gap = atof(argv[2]);
    double total = 0, least = 1e12, most = 0, first = 0, later = 0;
    for (int i = 0; i < runs; ++i) {
        double start = nowMs();
        runQuietly(argv + 3);
        double took = nowMs() - start;
        total += took;
        least = took < least ? took : least;
        most = took > most ? took : most;
        if (i == 0)
            first = took;
        else if (took > later)
            later = took;
        if (took < gap)
            usleep(static_cast<useconds_t>((gap - took) * 1000));
    }
    printf("runs %d mean %.1f min %.1f max %.1f first %.1f later %.1f total %.1f\n", runs,
           total / runs, least, most, first, later, total);
    return 0;
}
