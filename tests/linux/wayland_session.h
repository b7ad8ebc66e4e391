#ifndef WAYLAND_SESSION_H
#define WAYLAND_SESSION_H

/* Wayland compositors for the tests, run as an ordinary user as a desktop's
 * are: sway or labwc headless with key bindings that report, weston
 * headless, and a test-only compositor that follows a script and records
 * what its client sent. */

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

/* The user that compositors and the program run as: nobody where the tests
 * run as root (sway refuses root), else -1, this user. */
int sessionUser();

/* A runtime directory (XDG_RUNTIME_DIR) of that user, mode 0700, holding a
 * copy of the program that the user can run wherever the build tree is. */
class Session {
  public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const std::string &dir() const {
        return dir_;
    }
    std::string program() const {
        return dir_ + "/mediakey";
    }
    /* Starts argv as the session's user with only the given environment;
     * its output goes to log in the directory. */
    pid_t start(const std::vector<std::string> &argv, std::vector<std::string> env,
                const std::string &log) const;

  private:
    std::string dir_;
};

/* The compositor that MEDIAKEY_COMPOSITOR names, sway by default, or labwc,
 * kwin or gnome: one of a table of rows in wayland_session.cpp. */
class Compositor {
  public:
    /* Starts it headless, with or without the seven media keysyms bound to
     * commands that report them, and returns once its configuration ran. */
    explicit Compositor(const Session &session, bool bindings = true);
    ~Compositor();
    Compositor(const Compositor &) = delete;
    Compositor &operator=(const Compositor &) = delete;

    const std::string &display() const {
        return display_;
    }
    /* The keysyms whose bindings fired since the last call, in order: waits
     * for at least atLeast of them, then for every command started before
     * this call. */
    std::vector<std::string> fired(size_t atLeast = 0);
    /* Gives the window of appId the focus where the compositor does not give
     * it to new windows by itself; false where that failed. */
    bool focus(const std::string &appId) const;
    /* Whether it lets only the programs an application file names press. */
    bool admitsNamedProgramsOnly() const;

  private:
    bool command(const std::string &command) const;
    std::vector<std::string> newLines();

    const Session &session_;
    pid_t pid_;
    std::string display_;
    std::string ipc_;
    size_t seen_ = 0;
};

class Weston {
  public:
    explicit Weston(const Session &session);
    ~Weston();
    Weston(const Weston &) = delete;
    Weston &operator=(const Weston &) = delete;

    std::string display() const {
        return "weston-test";
    }

  private:
    pid_t pid_;
};

/* What the test-only compositor does when its client asks for a round trip:
 * answer it, post wl_display.error, close the connection, say nothing more,
 * or send a message that no compositor sends. */
enum class Answer { Done, Error, Close, Silence, Garbage };

struct Request {
    std::string name; /* such as "wl_registry.bind wl_seat" */
    std::vector<uint32_t> args;
    std::string keymap; /* what came through the descriptor it carries */
    int seals = 0;      /* of that descriptor */
};

/* Serves one client at the socket display() in the session's directory,
 * offering the virtual keyboard manager, KWin's fake input, both or neither.
 * Requests are named by what they are, not by the ids a client gave. */
class FakeCompositor {
  public:
    FakeCompositor(const Session &session, std::vector<Answer> answers, bool offerManager = true,
                   bool offerFakeInput = false);
    ~FakeCompositor();
    FakeCompositor(const FakeCompositor &) = delete;
    FakeCompositor &operator=(const FakeCompositor &) = delete;

    std::string display() const {
        return "wayland-fake";
    }
    /* Waits until the client has gone and returns what it sent. */
    std::vector<Request> requests();

  private:
    void serve();

    int listener_;
    std::vector<Answer> answers_;
    bool offerManager_;
    bool offerFakeInput_;
    std::vector<Request> requests_;
    std::thread thread_;
};

#endif
