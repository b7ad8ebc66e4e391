#ifndef PRESS_H
#define PRESS_H

/* The ways this Linux program presses a key.  Each presses one whole
 * keystroke, the press and then its release, and says how it went. */

#include <stddef.h>
#include <stdint.h>
#include <sys/un.h>

/* The monotonic clock in milliseconds, which every way's bounds are kept on. */
long long nowMs();

/* The socket of the compositor in WAYLAND_DISPLAY, as libwayland finds it:
 * false where the variables name none. */
bool waylandSocket(sockaddr_un &address);

/* A turn among the runs that press through that compositor at once, taken
 * within 2 seconds or missed. */
struct Turn {
    int fd;      /* the lock's, or -1 */
    bool missed; /* others held it for longer than the wait allows */
};
Turn takeTurn();
void giveTurnBack(Turn &turn);

/* Whether path is a socket that this user owns and that takes a connection
 * now: another user's socket is never tried. */
bool ownSocketAnswers(const char *path);

/* For a run that no variable points at a display (one a unit, a cron job or
 * an SSH login started): finds a desktop of this user's own, a compositor's
 * socket in the user's runtime directory (XDG_RUNTIME_DIR, else
 * /run/user/UID) or the user's own X server, preferring the kind of the
 * graphical session that logind names, and sets XDG_RUNTIME_DIR,
 * WAYLAND_DISPLAY or DISPLAY and XAUTHORITY as inside that session.  False
 * where there is none; runtimeDir gets the directory looked in. */
bool findOwnDesktop(char *runtimeDir, size_t size);

/* The lowest-numbered X server whose socket this user owns and that
 * answers: sets DISPLAY, and XAUTHORITY where unset to the cookie a display
 * manager leaves (runtimeDir: the user's own, or nullptr). */
bool findOwnXServer(const char *runtimeDir);

struct LinuxKey {
    unsigned char virtualKey;
    const char *keysymName;
    uint32_t keysym;
    uint16_t evdevCode;
};

/* Every key this program presses, for a keyboard that may press any of them. */
extern const LinuxKey linuxKeys[];
extern const size_t linuxKeyCount;

/* Which X11 outcomes leave the key unpressed for good and which only say that
 * X11 is not the way, so that another way may still be tried. */
enum X11Outcome {
    X11_PRESSED,
    X11_UNREACHABLE,
    X11_REFUSED,
    X11_NO_XTEST,
    X11_NO_KEY,
    X11_FAILED,
};

/* Sends the keystroke through the XTEST extension of the display in DISPLAY
 * and returns once the server has processed both events. */
X11Outcome pressX11(const LinuxKey &key);

/* Which Wayland outcomes only say that the compositor's virtual keyboard is
 * not the way, so that uinput may still be tried: all that come before a key
 * event went out. */
enum WaylandOutcome {
    WAYLAND_PRESSED,
    WAYLAND_UNREACHABLE,
    WAYLAND_NO_KEYBOARD,
    WAYLAND_NOT_ADMITTED,
    WAYLAND_REFUSED,
    WAYLAND_NO_KEYMAP,
    WAYLAND_FAILED,
    WAYLAND_NO_ANSWER,
};

/* Sends the keystroke through a virtual keyboard on the seat of the
 * compositor in WAYLAND_DISPLAY and returns once it has handled both
 * events. */
WaylandOutcome pressWayland(const LinuxKey &key);

/* Which outcomes of mutter's session only say that it is not the way, so
 * that uinput may still be tried: all up to MUTTER_NO_ANSWER came before any
 * key went out. */
enum MutterOutcome {
    MUTTER_PRESSED,
    MUTTER_NO_BUS,
    MUTTER_ABSENT,
    MUTTER_REFUSED,
    MUTTER_NO_ANSWER,
    MUTTER_FAILED,
    MUTTER_NO_ANSWER_AFTER_KEY,
};

/* Sends the keystroke through a remote-desktop session of mutter's, asked
 * for on the session bus, and returns once mutter has taken both keys and
 * ended the session. */
MutterOutcome pressMutter(const LinuxKey &key);

enum UinputOutcome {
    UINPUT_PRESSED,
    UINPUT_MISSING,
    UINPUT_DENIED,
    UINPUT_REFUSED,
    UINPUT_NO_NODE,
    UINPUT_NO_READER,
    UINPUT_NO_WATCH,
    UINPUT_BUSY,
    UINPUT_KEEPER_LOST,
    UINPUT_STUCK,
};

/* Sends the keystroke through a virtual keyboard of the kernel's uinput that
 * has only the media keys, and returns once a program that reads keyboard
 * input has read it.  The keyboard is made for the press; a process left
 * behind keeps it for the presses of the next moments, which later runs hand
 * it, unless MEDIAKEY_ONE_SHOT is set.  Other runs press before or after it,
 * never at the same time. */
UinputOutcome pressUinput(const LinuxKey &key);

#endif
