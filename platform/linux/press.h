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

/* Whether the process that listens at the other end of the connected
 * socket fd runs as this user: a name on the machine proves nothing. */
bool peerIsOwn(int fd);

/* Whether path is a socket that this user owns and that takes a connection
 * now, from a listener of this user's own: another user's is never tried. */
bool ownSocketAnswers(const char *path);

/* What lines call the display that the caller named; where the search
 * found one, the same lines call it by what was found where. */
const char X11_NAMED[] = "the X display in DISPLAY";
const char WAYLAND_NAMED[] = "the Wayland display in WAYLAND_DISPLAY";

/* Where the display that a run presses on came from, which its failure
 * lines name: a variable the caller did not set is never blamed. */
enum DisplayOrigin { ORIGIN_CALLER, ORIGIN_MANAGER, ORIGIN_LOGIND, ORIGIN_SEARCH };

/* What the search found: a compositor, named in WAYLAND_DISPLAY, or an X
 * server by its number. */
struct OwnDisplay {
    DisplayOrigin origin;
    long xServer; /* -1 for the compositor */
};

/* For a run that no variable points at a display (one a unit, a cron job or
 * an SSH login started): finds a desktop of this user's own, the one that
 * the user's service manager or else logind records, else a compositor's
 * socket in the user's runtime directory (XDG_RUNTIME_DIR, else
 * /run/user/UID) or the user's own X server, preferring the kind of the
 * graphical session that logind names, and sets XDG_RUNTIME_DIR,
 * WAYLAND_DISPLAY and XAUTHORITY as inside that session.  False where there
 * is none; runtimeDir gets the directory looked in. */
bool findOwnDesktop(OwnDisplay &found, char *runtimeDir, size_t size);

/* The first compositor by name in dir whose socket is this user's own and
 * answers: sets WAYLAND_DISPLAY. */
bool findOwnCompositor(const char *dir);

/* The lowest-numbered X server whose socket is this user's own and answers,
 * or -1; sets XAUTHORITY where unset to the cookie a display manager leaves
 * (runtimeDir: the user's own, or nullptr). */
long findOwnXServer(const char *runtimeDir);

/* Whether X server number is this user's own and answers; then sets
 * XAUTHORITY where unset, to cookie where a record names one, else as
 * findOwnXServer does. */
bool ownXServerAnswers(long number, const char *runtimeDir, const char *cookie);

/* The number of a display of this machine, ":N" or ":N.S", else -1. */
long localDisplayNumber(const char *display);

/* The display variables that the user's service manager holds for its
 * units. */
struct ManagerRecord {
    char wayland[sizeof(sockaddr_un::sun_path)];
    char display[64];
    char cookie[4096];
};

/* Asks the user's service manager on the user's bus in runtimeDir, whose
 * other end must be the user's, within 2 seconds: false where there is no
 * such bus or manager, or the manager names no display. */
bool askManager(const char *runtimeDir, ManagerRecord &record);

/* The user's bus as libdbus finds it without DBUS_SESSION_BUS_ADDRESS: the
 * socket "bus" in dir, its path (room for sun_path) and its D-Bus address;
 * false where either does not fit. */
bool userBus(const char *dir, char *path, char *address, size_t size);

/* The path socket of X server number, never the abstract name beside it,
 * which any user may bind. */
bool xServerSocket(long number, sockaddr_un &address);

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
    X11_NOT_OWN,
    X11_NO_XTEST,
    X11_NO_KEY,
    X11_FAILED,
};

/* Sends the keystroke through the XTEST extension and returns once the
 * server has processed both events: of the display in DISPLAY where server
 * is -1, else of that X server, reached through its own socket and only
 * where it runs as this user.  subject names the display in the line of a
 * run that it leaves waiting. */
X11Outcome pressX11(const LinuxKey &key, long server, const char *subject);

/* Which Wayland outcomes only say that the compositor's virtual keyboard is
 * not the way, so that uinput may still be tried: all that come before a key
 * event went out. */
enum WaylandOutcome {
    WAYLAND_PRESSED,
    WAYLAND_UNREACHABLE,
    WAYLAND_NOT_OWN,
    WAYLAND_NO_KEYBOARD,
    WAYLAND_NOT_ADMITTED,
    WAYLAND_REFUSED,
    WAYLAND_NO_KEYMAP,
    WAYLAND_FAILED,
    WAYLAND_NO_ANSWER,
};

/* Sends the keystroke through a virtual keyboard on the seat of the
 * compositor in WAYLAND_DISPLAY and returns once it has handled both
 * events; a compositor that the caller did not name must run as this
 * user. */
WaylandOutcome pressWayland(const LinuxKey &key, DisplayOrigin origin);

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
