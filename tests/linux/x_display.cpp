#include "x_display.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/* Xvfb compiles its keymap at start; a loaded machine may take seconds. */
const int START_TIMEOUT_MS = 20000;

/* Reads up to the next line feed of fd into line; false on end or timeout. */
bool readLineFrom(int fd, std::string &buffered, std::string &line) {
    for (;;) {
        size_t end = buffered.find('\n');
        if (end != std::string::npos) {
            line = buffered.substr(0, end);
            buffered.erase(0, end + 1);
            return true;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, START_TIMEOUT_MS) <= 0)
            return false;
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffered.append(chunk, static_cast<size_t>(n));
    }
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

pid_t spawn(std::vector<std::string> argv, int in, int out, const std::string &display) {
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
    std::vector<char *> args;
    for (std::string &arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

} // namespace

XServer::XServer(const std::vector<std::string> &extraArgs) {
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
    pid_ = spawn(argv, -1, -1, "");
    close(displayFd);
    close(fds[1]);
    std::string buffered;
    bool started = readLineFrom(fds[0], buffered, number_);
    close(fds[0]);
    if (!started || number_.empty()) {
        stop(pid_);
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
}

XServer::~XServer() {
    stop(pid_);
}

KeyListener::KeyListener(const std::string &number) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = spawn({KEYLISTENER_PATH}, toChild[0], fromChild[1], ":" + number);
    close(toChild[0]);
    close(fromChild[1]);
    toListener_ = toChild[1];
    fromListener_ = fromChild[0];
    if (readLine() != "ready") {
        stop(pid_);
        throw std::runtime_error("keylistener did not get ready");
    }
}

KeyListener::~KeyListener() {
    close(toListener_);
    close(fromListener_);
    stop(pid_);
}

std::string KeyListener::readLine() {
    std::string line;
    if (!readLineFrom(fromListener_, buffered_, line))
        throw std::runtime_error("keylistener stopped answering");
    return line;
}

std::vector<std::string> KeyListener::ask(const std::string &command, const std::string &answer) {
    std::string text = command + "\n";
    if (write(toListener_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("keylistener gone");
    std::vector<std::string> lines;
    for (std::string line = readLine(); line != answer; line = readLine())
        lines.push_back(line);
    return lines;
}

std::vector<std::string> KeyListener::events() {
    return ask("sync", "synced");
}

void KeyListener::unmap(const std::string &keysym) {
    ask("unmap " + keysym, "done");
}

void KeyListener::remap() {
    ask("remap", "done");
}
