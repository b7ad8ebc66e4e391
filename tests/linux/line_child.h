#ifndef LINE_CHILD_H
#define LINE_CHILD_H

/* Test tools that run beside the program under test and answer in lines:
 * commands go to their stdin, each report is one line on their stdout. */

#include <string>
#include <sys/types.h>
#include <vector>

/* How long a test tool may take to answer.  Generous: an X server compiles
 * its keymap at start, and the VM suite runs under software emulation. */
const int TOOL_TIMEOUT_MS = 20000;

/* Starts argv with stdin and stdout on the given descriptors (-1: /dev/null)
 * and stderr on /dev/null, with DISPLAY set when display is not empty, as
 * user uid where it is not -1. */
pid_t spawn(std::vector<std::string> argv, int in, int out, const std::string &display = "",
            int uid = -1);

/* Ends a child started by spawn and reaps it. */
void stop(pid_t pid);

/* Takes the next line from fd into line, keeping what follows in buffered;
 * false at the end of the stream or after timeoutMs without one. */
bool readLineFrom(int fd, std::string &buffered, std::string &line, int timeoutMs);

/* The lines of a file that test tools append to, such as a hotkey daemon's
 * commands, once there are atLeast of them or TOOL_TIMEOUT_MS has passed;
 * with none asked for, right away. */
std::vector<std::string> fileLines(const std::string &path, size_t atLeast);

class LineChild {
  public:
    /* Starts argv and returns once it has said firstLine; throws otherwise. */
    LineChild(const std::vector<std::string> &argv, const std::string &firstLine,
              const std::string &display = "");
    ~LineChild();
    LineChild(const LineChild &) = delete;
    LineChild &operator=(const LineChild &) = delete;

    /* Sends command and returns the lines before the answer. */
    std::vector<std::string> ask(const std::string &command, const std::string &answer);

  private:
    std::string readLine();

    pid_t pid_;
    int to_;
    int from_;
    std::string buffered_;
};

#endif
