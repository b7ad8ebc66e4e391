#ifndef RUN_PROCESS_H
#define RUN_PROCESS_H

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

enum class StdoutTo { Pipe, DevFull, ClosedPipe };

struct ProcessResult {
    std::string out;
    std::string err;
    int waitStatus;
};

/* Runs argv[0] (searched on PATH) with the given arguments and collects both
 * output streams.  With ignoreSigpipe the child starts with SIGPIPE ignored,
 * as it does under many shells and supervisors; with a user id other than -1
 * it runs as that user. */
ProcessResult runProcess(const std::vector<std::string> &argv, StdoutTo stdoutTo = StdoutTo::Pipe,
                         bool ignoreSigpipe = false, int asUser = -1);

/* Runs program as user uid in the environment that a systemd unit, a cron
 * job or an SSH login gives: HOME, PATH, USER, LOGNAME and SHELL alone, and
 * XDG_RUNTIME_DIR where runtimeDir is given; no variable names a display. */
ProcessResult runOutsideTheSession(const std::string &program, int uid,
                                   const std::optional<std::string> &runtimeDir,
                                   const std::vector<std::string> &args,
                                   const std::string &home = "/nonexistent");

/* A listening Unix socket at name (a path, or an abstract name that starts
 * with @) whose listener the kernel knows as user uid, as a program of that
 * user that took the name; a path is then owner's file where owner is not
 * -1.  -1 where it cannot be made (this process must be root). */
int listenAs(const std::string &name, int uid, int owner = -1);

/* The two halves of listenAs: the name bound, where a client is refused as
 * at a name nobody holds, and later the same socket listening as uid. */
int bindName(const std::string &name, int owner = -1);
bool listenOn(int fd, int uid);

/* Whether a connection waits to be accepted at listener. */
bool connectionWaiting(int listener);

/* Runs argv[0] with all three standard streams on a new pseudo-terminal, its
 * controlling terminal, and collects what the terminal received (in out) until
 * the process ended and its output stopped. */
ProcessResult runOnTerminal(const std::vector<std::string> &argv);

/* "exit 3" or "signal 13", for readable assertions. */
std::string describeWaitStatus(int waitStatus);

/* Sets (or, with no value, removes) one environment variable of this process,
 * and so of the processes it runs, for a scope. */
class ScopedEnv {
  public:
    ScopedEnv(const char *name, std::optional<std::string> value) : name_(name) {
        if (const char *old = getenv(name))
            old_ = old;
        set(value);
    }
    ~ScopedEnv() {
        set(old_);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    void set(const std::optional<std::string> &value) {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
    }
    const char *name_;
    std::optional<std::string> old_;
};

#endif
