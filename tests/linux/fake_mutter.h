#ifndef FAKE_MUTTER_H
#define FAKE_MUTTER_H

/* A session bus of the session's own, with a test-only mutter on it that
 * follows a script and records what its client asked of it. */

#include "wayland_session.h"

#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

/* What the fake mutter does with each call of its client, in order: answer
 * it, answer with an error, or say nothing more. */
enum class MutterAnswer { Reply, Error, Silence };

class FakeMutter {
  public:
    FakeMutter(const Session &session, std::vector<MutterAnswer> answers);
    ~FakeMutter();
    FakeMutter(const FakeMutter &) = delete;
    FakeMutter &operator=(const FakeMutter &) = delete;

    /* Stops serving and returns the calls, such as "Start" or
     * "NotifyKeyboardKeycode 164 down". */
    std::vector<std::string> calls();

  private:
    void serve();

    pid_t bus_;
    std::vector<MutterAnswer> answers_;
    std::vector<std::string> calls_;
    std::atomic<bool> done_{false};
    void *connection_ = nullptr;
    std::thread thread_;
};

#endif
