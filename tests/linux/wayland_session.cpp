#include "wayland_session.h"

#include "media_keys.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const int NOBODY = 65534;
const int START_TIMEOUT_MS = 20000;
/* A desktop's own start, which only a loaded machine stretches: no promise
 * of the program's. */
const int DESKTOP_START_TIMEOUT_MS = 120000;
/* What the session's user runs of the suite's, copied where that user can
 * read it whatever the checkout's directory. */
const char *const SESSION_SCRIPTS[] = {"kwin_session.sh", "gnome_session.sh", "gnome_keys.awk",
                                       "mpris_player.js"};

void check(bool ok, const std::string &what) {
    if (!ok)
        throw std::runtime_error(what + " failed: errno " + std::to_string(errno));
}

void ownBySessionUser(const std::string &path) {
    if (sessionUser() != -1)
        check(chown(path.c_str(), NOBODY, NOBODY) == 0, "chown " + path);
}

void stopProcess(pid_t pid) {
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

/* Waits until ready() holds; throws after timeoutMs. */
template <typename Ready>
void waitUntil(Ready ready, const std::string &what, int timeoutMs = START_TIMEOUT_MS) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end)
            throw std::runtime_error(what + " did not happen");
        usleep(5000);
    }
}

std::vector<std::string> linesOf(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

/* A desktop that did not come up, told with the end of its log. */
template <typename Ready>
void waitForStart(Ready ready, const std::string &what, const std::string &log) {
    try {
        waitUntil(ready, what + " start", DESKTOP_START_TIMEOUT_MS);
    } catch (const std::runtime_error &e) {
        std::vector<std::string> lines = linesOf(log);
        std::string message = e.what() + std::string("; the end of ") + log + ":";
        for (size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); ++i)
            message += "\n  " + lines[i];
        throw std::runtime_error(message);
    }
}

} // namespace

int sessionUser() {
    return geteuid() == 0 ? NOBODY : -1;
}

Session::Session() {
    std::string pattern = "/tmp/mediakey-wayland.XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    dir_ = pattern;
    ownBySessionUser(dir_);
    fs::copy_file(MEDIAKEY_PATH, program());
    ownBySessionUser(program());
    for (const char *script : SESSION_SCRIPTS) {
        fs::copy_file(std::string(MEDIAKEY_SESSION_SCRIPTS) + "/" + script, dir_ + "/" + script);
        ownBySessionUser(dir_ + "/" + script);
    }
}

Session::~Session() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

pid_t Session::start(const std::vector<std::string> &argv, std::vector<std::string> env,
                     const std::string &log) const {
    env.push_back("XDG_RUNTIME_DIR=" + dir_);
    env.push_back("HOME=" + dir_);
    env.push_back("PATH=/usr/bin:/bin");
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid > 0)
        return pid;
    int out = open((dir_ + "/" + log).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    if (sessionUser() != -1 &&
        (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
        _exit(126);
    /* A suite that dies leaves no compositor behind.  Set after the change
     * of user, which clears it. */
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char *> args, vars;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    for (const std::string &var : env)
        vars.push_back(const_cast<char *>(var.c_str()));
    args.push_back(nullptr);
    vars.push_back(nullptr);
    execvpe(args[0], args.data(), vars.data());
    _exit(127);
}

namespace {

/* Each writes, under dir, a configuration that binds each media keysym to a
 * command that appends it to dir/fired where bindings is set, and that
 * appends "ready" once the compositor started; returns its command line. */
std::vector<std::string> swayConfig(const std::string &dir, bool bindings) {
    std::ofstream config(dir + "/sway.conf");
    config << "xwayland disable\n";
    for (const MediaKeyRow &row : mediaKeyRows)
        if (bindings)
            config << "bindsym " << row.keysym << " exec echo " << row.keysym << " >>" << dir
                   << "/fired\n";
    config << "exec echo ready >>" << dir << "/fired\n";
    return {"sway", "-c", dir + "/sway.conf"};
}

/* labwc binds its defaults, the volume keys among them, where no key is
 * bound: without bindings, one key nobody presses does nothing. */
std::vector<std::string> labwcConfig(const std::string &dir, bool bindings) {
    fs::create_directory(dir + "/labwc");
    std::ofstream config(dir + "/labwc/rc.xml");
    config << "<?xml version=\"1.0\"?>\n<labwc_config><keyboard>\n";
    if (!bindings)
        config << "<keybind key=\"W-F12\"><action name=\"None\"/></keybind>\n";
    for (const MediaKeyRow &row : mediaKeyRows)
        if (bindings)
            config << "<keybind key=\"" << row.keysym
                   << "\"><action name=\"Execute\" command=\"sh -c 'echo " << row.keysym << " >>"
                   << dir << "/fired'\"/></keybind>\n";
    config << "</keyboard></labwc_config>\n";
    std::ofstream(dir + "/labwc/autostart") << "echo ready >>" << dir << "/fired\n";
    return {"labwc", "-C", dir + "/labwc"};
}

/* KWin and gnome-shell come up with a session bus and what watches their
 * own shortcut handling, which a script of the suite's brings up. */
std::vector<std::string> kwinSession(const std::string &dir, bool bindings) {
    return {"bash", dir + "/kwin_session.sh", dir, bindings ? "1" : "0"};
}

std::vector<std::string> gnomeSession(const std::string &dir, bool bindings) {
    return {"bash", dir + "/gnome_session.sh", dir, bindings ? "1" : "0"};
}

/* How each compositor starts, and the start of the name of its IPC socket
 * where it takes commands: sway's focus a window, and one that runs after
 * the bindings' commands tells that they have run.  The others take none;
 * they give new windows the focus themselves, and a quiet spell tells
 * instead.  KWin admits only the programs an application file names. */
struct CompositorRow {
    const char *name;
    std::vector<std::string> (*configure)(const std::string &dir, bool bindings);
    const char *ipcPrefix;
    bool admitsNamedProgramsOnly;
};

const CompositorRow compositorRows[] = {
    {"sway", swayConfig, "sway-ipc.", false},
    {"labwc", labwcConfig, nullptr, false},
    {"kwin", kwinSession, nullptr, true},
    {"gnome", gnomeSession, nullptr, false},
};

const CompositorRow &chosenCompositor() {
    const char *name = getenv("MEDIAKEY_COMPOSITOR");
    for (const CompositorRow &row : compositorRows)
        if (!name || std::string(name) == row.name)
            return row;
    throw std::runtime_error(std::string("MEDIAKEY_COMPOSITOR: no compositor ") + name);
}

/* Without IPC, a binding's command that comes later than this after the
 * last one counts as the next press's.  A binding's command starts before
 * the compositor answers the program's last round trip. */
const int QUIET_MS = 300;

} // namespace

Compositor::Compositor(const Session &session, bool bindings) : session_(session) {
    std::string dir = session.dir();
    const CompositorRow &row = chosenCompositor();
    pid_ =
        session.start(row.configure(dir, bindings),
                      {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"},
                      std::string(row.name) + ".log");
    try {
        waitForStart([&] { return newLines() == std::vector<std::string>{"ready"}; }, row.name,
                     dir + "/" + row.name + ".log");
    } catch (...) {
        stopProcess(pid_);
        throw;
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename();
        if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos)
            display_ = name;
        if (row.ipcPrefix && name.rfind(row.ipcPrefix, 0) == 0)
            ipc_ = entry.path();
    }
}

Compositor::~Compositor() {
    stopProcess(pid_);
}

bool Compositor::admitsNamedProgramsOnly() const {
    return chosenCompositor().admitsNamedProgramsOnly;
}

std::vector<std::string> Compositor::newLines() {
    std::vector<std::string> lines = linesOf(session_.dir() + "/fired");
    std::vector<std::string> fresh(lines.begin() + static_cast<long>(std::min(seen_, lines.size())),
                                   lines.end());
    seen_ = std::max(seen_, lines.size());
    return fresh;
}

/* Each binding's command runs in a process of its own; one started through
 * sway's IPC after the others reports after them, but for a lagging shell. */
std::vector<std::string> Compositor::fired(size_t atLeast) {
    std::vector<std::string> keysyms;
    auto take = [&] {
        for (const std::string &line : newLines())
            keysyms.push_back(line);
    };
    try {
        waitUntil([&] { return take(), keysyms.size() >= atLeast; }, "the bindings");
    } catch (const std::runtime_error &) {
        return keysyms;
    }
    if (ipc_.empty()) {
        size_t before;
        do {
            before = keysyms.size();
            usleep(QUIET_MS * 1000);
            take();
        } while (keysyms.size() != before);
        return keysyms;
    }
    command("exec echo synced >>" + session_.dir() + "/fired");
    waitUntil([&] { return take(), !keysyms.empty() && keysyms.back() == "synced"; },
              "the sync command");
    keysyms.pop_back();
    return keysyms;
}

bool Compositor::focus(const std::string &appId) const {
    return ipc_.empty() || command("[app_id=" + appId + "] focus");
}

bool Compositor::command(const std::string &command) const {
    int status;
    waitpid(session_.start({"swaymsg", "-s", ipc_, command}, {}, "swaymsg.log"), &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Weston::Weston(const Session &session) {
    /* The fullscreen shell starts no helper clients of weston's own that
     * could outlive it. */
    pid_ = session.start({"weston", "--backend=headless-backend.so", "--shell=fullscreen-shell.so",
                          "--no-config", "--socket=" + display()},
                         {}, "weston.log");
    waitForStart([&] { return fs::exists(session.dir() + "/" + display()); }, "weston",
                 session.dir() + "/weston.log");
}

Weston::~Weston() {
    stopProcess(pid_);
}

namespace {

/* The fake's side of the wire, written from the core protocol: events
 * out, requests in. */
std::vector<uint32_t> message(uint32_t object, uint16_t opcode, std::vector<uint32_t> args) {
    std::vector<uint32_t> words{object,
                                static_cast<uint32_t>((args.size() + 2) * 4) << 16 | opcode};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::vector<uint32_t> stringWords(const std::string &text) {
    std::string padded = text;
    padded.resize((text.size() + 4) / 4 * 4, '\0');
    std::vector<uint32_t> words(1 + padded.size() / 4);
    words[0] = static_cast<uint32_t>(text.size() + 1);
    std::copy(padded.begin(), padded.end(), reinterpret_cast<char *>(&words[1]));
    return words;
}

std::vector<uint32_t> global(uint32_t registry, uint32_t name, const std::string &interface,
                             uint32_t version) {
    std::vector<uint32_t> args{name};
    for (uint32_t word : stringWords(interface))
        args.push_back(word);
    args.push_back(version);
    return message(registry, 0, args);
}

void sendWords(int fd, const std::vector<uint32_t> &words) {
    ssize_t ignored = send(fd, words.data(), words.size() * 4, MSG_NOSIGNAL);
    (void)ignored;
}

} // namespace

FakeCompositor::FakeCompositor(const Session &session, std::vector<Answer> answers,
                               bool offerManager, bool offerFakeInput)
    : answers_(std::move(answers)), offerManager_(offerManager), offerFakeInput_(offerFakeInput) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = session.dir() + "/" + display();
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(listener_ >= 0 &&
              bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
              listen(listener_, 4) == 0,
          "listen on " + path);
    ownBySessionUser(path);
    thread_ = std::thread([this] { serve(); });
}

FakeCompositor::~FakeCompositor() {
    if (thread_.joinable())
        thread_.join();
    close(listener_);
}

std::vector<Request> FakeCompositor::requests() {
    if (thread_.joinable())
        thread_.join();
    return requests_;
}

void FakeCompositor::serve() {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, START_TIMEOUT_MS) <= 0)
        return;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string bytes;
    std::vector<int> fds;
    std::map<uint32_t, std::string> interfaces{{1, "wl_display"}};
    std::map<std::string, std::vector<std::string>> requestNames{
        {"wl_display", {"sync", "get_registry"}},
        {"wl_registry", {"bind"}},
        {"zwp_virtual_keyboard_manager_v1", {"create_virtual_keyboard"}},
        {"zwp_virtual_keyboard_v1", {"keymap", "key", "modifiers", "destroy"}},
        {"org_kde_kwin_fake_input",
         {"authenticate", "pointer_motion", "button", "axis", "touch_down", "touch_motion",
          "touch_up", "touch_cancel", "touch_frame", "pointer_motion_absolute", "keyboard_key"}},
    };
    std::vector<uint32_t> requestObjects;
    uint32_t syncs = 0;
    bool silent = false;
    for (;;) {
        char buffer[4096];
        iovec data{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(8 * sizeof(int))];
        msghdr received{};
        received.msg_iov = &data;
        received.msg_iovlen = 1;
        received.msg_control = control;
        received.msg_controllen = sizeof control;
        pollfd readable{client, POLLIN, 0};
        ssize_t got = poll(&readable, 1, START_TIMEOUT_MS) > 0
                          ? recvmsg(client, &received, MSG_CMSG_CLOEXEC)
                          : 0;
        if (got <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(got));
        for (cmsghdr *c = CMSG_FIRSTHDR(&received); c; c = CMSG_NXTHDR(&received, c))
            for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i)
                fds.push_back(reinterpret_cast<int *>(CMSG_DATA(c))[i]);

        while (bytes.size() >= 8) {
            uint32_t header[2];
            memcpy(header, bytes.data(), 8);
            size_t size = header[1] >> 16;
            if (size < 8 || bytes.size() < size)
                break;
            uint32_t object = header[0];
            auto opcode = static_cast<uint16_t>(header[1] & 0xffff);
            Request r{"", std::vector<uint32_t>((size - 8) / 4), "", 0};
            std::copy(bytes.begin() + 8, bytes.begin() + static_cast<long>(size),
                      reinterpret_cast<char *>(r.args.data()));
            bytes.erase(0, size);
            const std::string &interface = interfaces[object];
            const std::vector<std::string> &opcodes = requestNames[interface];
            r.name = interface + "." + (opcode < opcodes.size() ? opcodes[opcode] : "?");
            if (r.name == "wl_display.get_registry" && r.args.size() == 1)
                interfaces[r.args[0]] = "wl_registry";
            if (r.name == "wl_registry.bind" && r.args.size() >= 4) {
                std::string bound(reinterpret_cast<const char *>(&r.args[2]));
                interfaces[r.args.back()] = bound;
                r.name += " " + bound;
            }
            if (r.name == "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard" &&
                r.args.size() == 2)
                interfaces[r.args[1]] = "zwp_virtual_keyboard_v1";
            if (r.name == "zwp_virtual_keyboard_v1.keymap" && !fds.empty()) {
                int fd = fds.front();
                fds.erase(fds.begin());
                r.seals = fcntl(fd, F_GET_SEALS);
                r.keymap.resize(r.args.size() > 1 ? r.args[1] : 0);
                ssize_t ignored = pread(fd, r.keymap.data(), r.keymap.size(), 0);
                (void)ignored;
                close(fd);
            }
            requests_.push_back(r);
            requestObjects.push_back(object);
            if (silent || interface != "wl_display")
                continue;
            if (opcode == 1) { /* wl_display.get_registry */
                sendWords(client, global(r.args[0], 1, "wl_compositor", 4));
                sendWords(client, global(r.args[0], 2, "wl_seat", 7));
                if (offerManager_)
                    sendWords(client, global(r.args[0], 3, "zwp_virtual_keyboard_manager_v1", 1));
                if (offerFakeInput_)
                    sendWords(client, global(r.args[0], 4, "org_kde_kwin_fake_input", 4));
                continue;
            }
            Answer answer = syncs < answers_.size() ? answers_[syncs] : Answer::Done;
            ++syncs;
            if (answer == Answer::Done) {
                sendWords(client, message(r.args[0], 0, {syncs}));
                sendWords(client, message(1, 1, {r.args[0]}));
            } else if (answer == Answer::Error) {
                /* As a compositor that gives virtual keyboards only to
                 * trusted clients: "unauthorized", code 0. */
                uint32_t culprit = requestObjects.size() > 1 ? requestObjects.end()[-2] : 1;
                std::vector<uint32_t> args{culprit, 0};
                for (uint32_t word : stringWords("unauthorized"))
                    args.push_back(word);
                sendWords(client, message(1, 0, args));
                shutdown(client, SHUT_WR);
                silent = true;
            } else if (answer == Answer::Close) {
                shutdown(client, SHUT_WR);
                silent = true;
            } else if (answer == Answer::Garbage) {
                sendWords(client, {1, 4 << 16});
                silent = true;
            } else {
                silent = true;
            }
        }
    }
    for (int fd : fds)
        close(fd);
    close(client);
}
