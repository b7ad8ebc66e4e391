#ifndef UINPUT_KEEPER_H
#define UINPUT_KEEPER_H

/* What the keeper's two rooms share: its life (keeper.cpp) and its
 * conversation with the runs it presses for (keeper_runs.cpp). */

#include "uinput.h"

#include <poll.h>
#include <sys/types.h>
#include <sys/un.h>

namespace uinput {

/* A held button repeats every 100 ms or so, and a user presses again within
 * a second or two; 2 s of no press ends the burst.  A one-shot press cost
 * 130 to 240 ms under emulation, mostly in its readers' taking the new
 * keyboard. */
const int KEEP_MS = 2000;
/* A reader busy elsewhere (sway setting up a keyboard took 480 ms under
 * load, and runs each binding's command) reads only once back in its loop,
 * and its queue on the keyboard holds 16 keystrokes: past a quarter of those
 * since the readers were last seen back, the next key waits until they are,
 * up to STUCK_MS.  Waiting only 500 ms for one asleep elsewhere let a burst
 * overflow the queue of a sway that a busy machine slowed in each binding's
 * fork (17 of 20 bindings fired, libinput read all 20). */
const int UNSETTLED_KEYS = 4;
/* Runs at once beyond these wait for a place, as in the socket's backlog. */
const int MAX_RUNS = 32;

struct Run {
    int fd;
    uint16_t code;
    bool coded;          /* its code came */
    long long codeUntil; /* when it is dropped if its code has not come */
};

struct Keeper {
    Press &p;
    const char *node;
    int listener;
    sockaddr_un address;
    ino_t socketInode;
    int grantWatch;
    Run runs[MAX_RUNS];
    int count;
    int serving; /* the run whose key is being pressed, or -1 */
    long long readBy;
    long long settleFrom; /* since when the readers are waited for */
    int unsettled;        /* keys written since they were last seen there */
    long long idleUntil;
    bool holdersKnown; /* the readers were looked for since the last open */
};

/* keeper.cpp */
[[noreturn]] void quit(Keeper &k);
bool granted(const Keeper &k);

/* keeper_runs.cpp */
void say(int fd, KeeperWord word);
void answer(Keeper &k, KeeperWord word);
[[noreturn]] void quitAnswering(Keeper &k, KeeperWord word);
long long serveNext(Keeper &k);
void takeRuns(Keeper &k);
void hearRuns(Keeper &k, const pollfd *fds);

} // namespace uinput

#endif
