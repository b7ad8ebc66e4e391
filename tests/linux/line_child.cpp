#include "line_child.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t spawn(std::vector<std::string> argv, int in, int out, const std::string &display, int uid) {
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid > 0)
        return pid;
    if (!display.empty())
        setenv("DISPLAY", display.c_str(), 1);
    int devNull = open("/dev/null", O_RDWR);
    dup2(in >= 0 ? in : devNull, STDIN_FILENO);
    dup2(out >= 0 ? out : devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    if (uid != -1 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
                      setuid(static_cast<uid_t>(uid)) != 0))
        _exit(126);
    /* A suite that dies leaves no server or tool behind for the next one to
     * find.  Set after the change of user, which clears it. */
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char *> args;
    for (std::string &arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

bool readLineFrom(int fd, std::string &buffered, std::string &line, int timeoutMs) {
    for (;;) {
        size_t end = buffered.find('\n');
        if (end != std::string::npos) {
            line = buffered.substr(0, end);
            buffered.erase(0, end + 1);
            return true;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffered.append(chunk, static_cast<size_t>(n));
    }
}

std::vector<std::string> fileLines(const std::string &path, size_t atLeast) {
    std::vector<std::string> lines;
    for (int waited = 0;; waited += 10) {
        lines.clear();
        std::ifstream file(path);
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        if (lines.size() >= atLeast || waited >= TOOL_TIMEOUT_MS)
            return lines;
        usleep(10000);
    }
}

LineChild::LineChild(const std::vector<std::string> &argv, const std::string &firstLine,
                     const std::string &display) {
    /* A tool that died fails its row ("test tool gone"), and the suite goes
     * on to its teardown, instead of ending by the signal. */
    signal(SIGPIPE, SIG_IGN);
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = spawn(argv, toChild[0], fromChild[1], display);
    close(toChild[0]);
    close(fromChild[1]);
    to_ = toChild[1];
    from_ = fromChild[0];
    std::string line;
    if (!readLineFrom(from_, buffered_, line, TOOL_TIMEOUT_MS) || line != firstLine) {
        stop(pid_);
        throw std::runtime_error(argv[0] + " did not start");
    }
}

LineChild::~LineChild() {
    close(to_);
    close(from_);
    stop(pid_);
}

std::string LineChild::readLine() {
    std::string line;
    if (!readLineFrom(from_, buffered_, line, TOOL_TIMEOUT_MS))
        throw std::runtime_error("test tool stopped answering");
    return line;
}

std::vector<std::string> LineChild::ask(const std::string &command, const std::string &answer) {
    std::string text = command + "\n";
    if (write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("test tool gone");
    std::vector<std::string> lines;
    for (std::string line = readLine(); line != answer; line = readLine())
        lines.push_back(line);
    return lines;
}
