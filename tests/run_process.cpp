#include "run_process.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
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

struct Stream {
    int fd;
    std::string *into;
    bool open;
};

/* Reads the streams (two at most) until they end, or until the process has exited and they
 * stayed quiet for a spell: helpers it started may hold them open for longer
 * (Wine's desktop program stays as long as the desktop does).  Returns the
 * process's wait status. */
int collect(pid_t pid, Stream *streams, size_t count) {
    int waitStatus = 0;
    bool exited = false;
    auto anyOpen = [&] {
        for (size_t i = 0; i < count; ++i)
            if (streams[i].open)
                return true;
        return false;
    };
    while (anyOpen()) {
        pollfd fds[2];
        for (size_t i = 0; i < count; ++i)
            fds[i] = {streams[i].open ? streams[i].fd : -1, POLLIN, 0};
        int ready = poll(fds, count, exited ? 200 : 20);
        if (ready < 0) {
            check(errno == EINTR, "poll");
            continue;
        }
        if (ready == 0 && exited)
            break;
        for (size_t i = 0; i < count; ++i)
            if (fds[i].revents)
                drain(streams[i].fd, *streams[i].into, streams[i].open);
        if (!exited) {
            pid_t done = waitpid(pid, &waitStatus, WNOHANG);
            check(done >= 0 || errno == EINTR, "waitpid");
            exited = done == pid;
        }
    }
    while (!exited && waitpid(pid, &waitStatus, 0) < 0)
        check(errno == EINTR, "waitpid");
    return waitStatus;
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

    ProcessResult result{};
    Stream streams[2] = {{outPipe[0], &result.out, outPipe[0] >= 0 && stdoutTo == StdoutTo::Pipe},
                         {errPipe[0], &result.err, true}};
    result.waitStatus = collect(pid, streams, 2);
    if (outPipe[0] >= 0)
        close(outPipe[0]);
    close(errPipe[0]);
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

    ProcessResult result{};
    Stream terminal{master, &result.out, true};
    result.waitStatus = collect(pid, &terminal, 1);
    close(master);
    return result;
}

std::string describeWaitStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return "exit " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus))
        return "signal " + std::to_string(WTERMSIG(waitStatus));
    return "wait status " + std::to_string(waitStatus);
}

ProcessResult runOutsideTheSession(const std::string &program, int uid,
                                   const std::optional<std::string> &runtimeDir,
                                   const std::vector<std::string> &args, const std::string &home) {
    std::string user = std::to_string(uid);
    std::vector<std::string> argv{"env",          "-i",
                                  "HOME=" + home, "PATH=/usr/bin:/bin",
                                  "USER=" + user, "LOGNAME=" + user,
                                  "SHELL=/bin/sh"};
    if (runtimeDir)
        argv.push_back("XDG_RUNTIME_DIR=" + *runtimeDir);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, StdoutTo::Pipe, false, uid);
}

int bindName(const std::string &name, int owner) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof address.sun_path)
        return -1;
    name.copy(address.sun_path, name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        (owner != -1 && name[0] != '@' &&
         chown(name.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(owner)) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

/* The kernel records who listens when listen() is called: a child that is
 * uid does it on the socket it shares with this process. */
bool listenOn(int fd, int uid) {
    pid_t child = fork();
    if (child == 0)
        _exit(setgid(static_cast<gid_t>(uid)) == 0 && setuid(static_cast<uid_t>(uid)) == 0 &&
                      listen(fd, 8) == 0
                  ? 0
                  : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}

int listenAs(const std::string &name, int uid, int owner) {
    int fd = bindName(name, owner);
    if (fd != -1 && !listenOn(fd, uid)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool connectionWaiting(int listener) {
    pollfd p = {listener, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}
