#ifndef X_DISPLAY_H
#define X_DISPLAY_H

/* A real X server for the tests (Xvfb, on the first free display unless its
 * arguments name one) and the test listener on it, which sees what a
 * desktop's media-key daemon sees. */

#include "line_child.h"

#include <string>
#include <sys/types.h>
#include <vector>

class XServer {
  public:
    /* Starts Xvfb with extraArgs added, as user uid where it is not -1;
     * throws when it does not come up. */
    explicit XServer(const std::vector<std::string> &extraArgs = {}, int uid = -1);
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    /* Stops the server as a suspended session's is: connections are still
     * accepted, nothing answers them. */
    void suspend();
    void resume();

    /* The display number, such as "1". */
    const std::string &number() const {
        return number_;
    }

  private:
    pid_t pid_;
    std::string number_;
};

class KeyListener {
  public:
    /* Connects to DISPLAY ":number" and returns once its grabs are in place. */
    explicit KeyListener(const std::string &number)
        : child_({KEYLISTENER_PATH}, "ready", ":" + number) {}

    /* Every event the listener has received since the last call, such as
     * "press XF86AudioPlay", in order. */
    std::vector<std::string> events() {
        return child_.ask("sync", "synced");
    }

    /* Takes every key that gives keysym out of the keyboard map, or puts the
     * map back as it was. */
    void unmap(const std::string &keysym) {
        child_.ask("unmap " + keysym, "done");
    }
    void remap() {
        child_.ask("remap", "done");
    }

  private:
    LineChild child_;
};

#endif
