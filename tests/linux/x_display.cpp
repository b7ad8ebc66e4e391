#include "x_display.h"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

XServer::XServer(const std::vector<std::string> &extraArgs, int uid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    /* -displayfd picks the first free display and writes its number.  With
     * -noreset the server stays up between clients as a desktop's does;
     * otherwise it resets whenever its last client leaves and drops the
     * connections that arrive meanwhile. */
    int displayFd = dup(fds[1]);
    std::vector<std::string> argv{"Xvfb",     "-displayfd", std::to_string(displayFd),
                                  "-noreset", "-nolisten",  "tcp",
                                  "-screen",  "0",          "640x480x24"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    pid_ = spawn(argv, -1, -1, "", uid);
    close(displayFd);
    close(fds[1]);
    std::string buffered;
    bool started = readLineFrom(fds[0], buffered, number_, TOOL_TIMEOUT_MS);
    close(fds[0]);
    if (!started || number_.empty()) {
        stop(pid_);
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
}

XServer::~XServer() {
    stop(pid_);
}

void XServer::suspend() {
    kill(pid_, SIGSTOP);
}

void XServer::resume() {
    kill(pid_, SIGCONT);
}
