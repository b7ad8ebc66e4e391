#ifndef X_DISPLAY_H
#define X_DISPLAY_H

/* A real X server for the tests (Xvfb, on the first free display) and the
 * test listener on it, which sees what a desktop's media-key daemon sees. */

#include <string>
#include <sys/types.h>
#include <vector>

class XServer {
  public:
    /* Starts Xvfb with extraArgs added; throws when it does not come up. */
    explicit XServer(const std::vector<std::string> &extraArgs = {});
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

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
    explicit KeyListener(const std::string &number);
    ~KeyListener();
    KeyListener(const KeyListener &) = delete;
    KeyListener &operator=(const KeyListener &) = delete;

    /* Every event the listener has received since the last call, such as
     * "press XF86AudioPlay", in order. */
    std::vector<std::string> events();

    /* Takes every key that gives keysym out of the keyboard map, or puts the
     * map back as it was. */
    void unmap(const std::string &keysym);
    void remap();

  private:
    std::vector<std::string> ask(const std::string &command, const std::string &answer);
    std::string readLine();

    pid_t pid_;
    int toListener_;
    int fromListener_;
    std::string buffered_;
};

#endif
