#include "run_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void check(bool ok, const char *what) {
    if (!ok)
        throw std::runtime_error(std::string(what) + " failed: errno " + std::to_string(errno));
}

void drain(int fd, std::string &into, bool &open) {
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
        open = false;
}

std::vector<char *> argvOf(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    return args;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string> &argv, StdoutTo stdoutTo,
                         bool ignoreSigpipe, int asUser) {
    std::vector<char *> args = argvOf(argv);

    int outPipe[2], errPipe[2];
    check(pipe2(outPipe, O_CLOEXEC) == 0 && pipe2(errPipe, O_CLOEXEC) == 0, "pipe");
    int childOut = outPipe[1];
    if (stdoutTo == StdoutTo::DevFull) {
        childOut = open("/dev/full", O_WRONLY | O_CLOEXEC);
        check(childOut >= 0, "open /dev/full");
    } else if (stdoutTo == StdoutTo::ClosedPipe) {
        close(outPipe[0]);
        outPipe[0] = -1;
    }

    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        signal(SIGPIPE, ignoreSigpipe ? SIG_IGN : SIG_DFL);
        if (asUser != -1 &&
            (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(asUser)) != 0 ||
             setuid(static_cast<uid_t>(asUser)) != 0))
            _exit(126);
        dup2(childOut, STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }

    if (childOut != outPipe[1])
        close(childOut);
    close(outPipe[1]);
    close(errPipe[1]);

    /* Helpers the process started may hold its pipes open for longer (Wine's
     * desktop program stays as long as the desktop does), so the end is end
     * of file, or the process's exit and then a quiet spell. */
    ProcessResult result{};
    bool outOpen = outPipe[0] >= 0 && stdoutTo == StdoutTo::Pipe;
    bool errOpen = true, exited = false;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        int ready = poll(fds, 2, exited ? 200 : 20);
        if (ready < 0) {
            check(errno == EINTR, "poll");
            continue;
        }
        if (ready == 0 && exited)
            break;
        if (fds[0].revents)
            drain(outPipe[0], result.out, outOpen);
        if (fds[1].revents)
            drain(errPipe[0], result.err, errOpen);
        if (!exited) {
            pid_t done = waitpid(pid, &result.waitStatus, WNOHANG);
            check(done >= 0 || errno == EINTR, "waitpid");
            exited = done == pid;
        }
    }
    if (outPipe[0] >= 0)
        close(outPipe[0]);
    close(errPipe[0]);

    while (!exited && waitpid(pid, &result.waitStatus, 0) < 0)
        check(errno == EINTR, "waitpid");
    return result;
}

ProcessResult runOnTerminal(const std::vector<std::string> &argv) {
    std::vector<char *> args = argvOf(argv);
    /* Wide enough that no line of a test wraps. */
    winsize size{50, 200, 0, 0};
    int master = -1, slave = -1;
    check(openpty(&master, &slave, nullptr, nullptr, &size) == 0, "openpty");
    check(fcntl(master, F_SETFD, FD_CLOEXEC) == 0, "fcntl");

    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0)
            _exit(126);
        for (int fd = 0; fd < 3; ++fd)
            dup2(slave, fd);
        close(slave);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(slave);

    /* Helpers the process left running may hold the terminal open, so the
     * end is the process's exit and then a quiet spell, not end of file. */
    ProcessResult result{};
    bool exited = false, open = true;
    while (open) {
        pollfd fd{master, POLLIN, 0};
        int ready = poll(&fd, 1, exited ? 200 : 20);
        if (ready < 0) {
            check(errno == EINTR, "poll");
            continue;
        }
        if (ready > 0)
            drain(master, result.out, open);
        else if (exited)
            break;
        if (!exited) {
            pid_t done = waitpid(pid, &result.waitStatus, WNOHANG);
            check(done >= 0 || errno == EINTR, "waitpid");
            exited = done == pid;
        }
    }
    close(master);
    while (!exited && waitpid(pid, &result.waitStatus, 0) < 0)
        check(errno == EINTR, "waitpid");
    return result;
}

std::string describeWaitStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return "exit " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus))
        return "signal " + std::to_string(WTERMSIG(waitStatus));
    return "wait status " + std::to_string(waitStatus);
}
