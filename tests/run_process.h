#ifndef RUN_PROCESS_H
#define RUN_PROCESS_H

#include <string>
#include <vector>

enum class StdoutTo { Pipe, DevFull, ClosedPipe };

struct ProcessResult {
    std::string out;
    std::string err;
    int waitStatus;
};

/* Runs argv[0] (searched on PATH) with the given arguments and collects both
 * output streams.  With ignoreSigpipe the child starts with SIGPIPE ignored,
 * as it does under many shells and supervisors; with a user id other than -1
 * it runs as that user. */
ProcessResult runProcess(const std::vector<std::string> &argv, StdoutTo stdoutTo = StdoutTo::Pipe,
                         bool ignoreSigpipe = false, int asUser = -1);

/* "exit 3" or "signal 13", for readable assertions. */
std::string describeWaitStatus(int waitStatus);

#endif
