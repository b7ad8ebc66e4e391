#ifndef TOOL_COMMANDS_H
#define TOOL_COMMANDS_H

/* The line protocol of the test tools: one command a line on stdin, one
 * report a line on stdout. */

#include <cstdio>
#include <string>
#include <unistd.h>

/* Reports one line at once: the test is waiting for it. */
inline void say(const std::string &line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
}

/* Reads what stdin has and hands each whole line to run; false once stdin
 * has ended, which tells the tool to end too. */
template <typename Run> bool takeCommands(std::string &pending, Run run) {
    char buffer[256];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        run(line);
    }
    return true;
}

#endif
