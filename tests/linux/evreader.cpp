/* Test tool, never shipped: reads every input device that appears from now
 * on the way a compositor does, and reports each key event.
 *
 *   evreader [--delay MS] [--probe] [--lag MS]
 *
 * A new event node is opened MS milliseconds after it appears (default 20:
 * udev announces a device only after its rules ran).  With --probe the node
 * is first opened and closed again without reading, as udev's own probing
 * does.  With --lag, each read comes MS milliseconds after there is
 * something to read, as on a machine too busy to run the reader sooner.  On stdout, one line each:
 *   new event7         the node appeared
 *   attach event7      it is open for reading
 *   press 164          key-down of evdev code 164; "release" for key-up
 *   gone event7        the device went away
 * The command "sync" on stdin is answered with "synced" once everything that
 * happened before it is reported. */
#include "tool_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace {

struct Device {
    std::string name;
    long long attachAt;
    int fd;
};

std::vector<Device> devices;
int delayMs = 20;
bool probe = false;
int lagMs = 0;

long long nowMs() {
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

void onCreated(int notify) {
    alignas(inotify_event) char buffer[4096];
    ssize_t length;
    while ((length = read(notify, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof *event + event->len);
            if (event->len == 0 || strncmp(event->name, "event", 5) != 0)
                continue;
            devices.push_back({event->name, nowMs() + delayMs, -1});
            say(std::string("new ") + event->name);
        }
    }
}

void attachDue() {
    for (Device &d : devices) {
        if (d.fd != -1 || d.attachAt > nowMs())
            continue;
        std::string path = "/dev/input/" + d.name;
        if (probe) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0)
                close(fd);
        }
        d.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        say((d.fd >= 0 ? "attach " : "gone ") + d.name);
        if (d.fd < 0)
            d.fd = -2;
    }
}

void readDevice(Device &d) {
    usleep(static_cast<useconds_t>(lagMs) * 1000);
    input_event events[64];
    ssize_t length = read(d.fd, events, sizeof events);
    if (length < 0 && errno == EAGAIN)
        return;
    if (length <= 0) {
        close(d.fd);
        d.fd = -2;
        say("gone " + d.name);
        return;
    }
    for (size_t i = 0; i < static_cast<size_t>(length) / sizeof events[0]; ++i) {
        const input_event &e = events[i];
        if (e.type != EV_KEY)
            continue;
        const char *kind = e.value == 1 ? "press " : e.value == 0 ? "release " : "repeat ";
        say(kind + std::to_string(e.code));
    }
}

int pollTimeout() {
    long long soonest = -1;
    for (const Device &d : devices)
        if (d.fd == -1 && (soonest < 0 || d.attachAt < soonest))
            soonest = d.attachAt;
    if (soonest < 0)
        return -1;
    long long left = soonest - nowMs();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

int main(int argc, char *argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--delay") == 0 && i + 1 < argc)
            delayMs = atoi(argv[++i]);
        else if (strcmp(argv[i], "--probe") == 0)
            probe = true;
        else if (strcmp(argv[i], "--lag") == 0 && i + 1 < argc)
            lagMs = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: evreader [--delay MS] [--probe] [--lag MS]\n");
            return 2;
        }
    }
    int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify < 0 || inotify_add_watch(notify, "/dev/input", IN_CREATE) < 0) {
        perror("evreader: inotify on /dev/input");
        return 2;
    }
    say("ready");

    std::string pending;
    for (;;) {
        std::vector<pollfd> fds = {{STDIN_FILENO, POLLIN, 0}, {notify, POLLIN, 0}};
        for (const Device &d : devices)
            fds.push_back({d.fd >= 0 ? d.fd : -1, POLLIN, 0});
        if (poll(fds.data(), fds.size(), pollTimeout()) < 0 && errno != EINTR)
            return 2;
        onCreated(notify);
        attachDue();
        for (size_t i = 0; i < devices.size(); ++i)
            if (devices[i].fd >= 0 && i + 2 < fds.size() && fds[i + 2].revents)
                readDevice(devices[i]);
        if (fds[0].revents && !takeCommands(pending, [notify](const std::string &command) {
                if (command == "sync") {
                    onCreated(notify);
                    say("synced");
                }
            }))
            return 0;
    }
}
