#ifndef UINPUT_UINPUT_H
#define UINPUT_UINPUT_H

/* What the files of the uinput way share: the state of one press, and the
 * functions each file gives the others, under the file that defines them. */

#include "../press.h"

#include <stddef.h>
#include <stdint.h>

struct inotify_event;
struct sockaddr_un;

namespace uinput {

/* Readers read within a few ms of a write: a probe that went unread, or was
 * emptied by a reader's setting of its clock, is followed by the next soon,
 * and each one more after it twice as late, up to PROBE_MAX_MS, for a reader
 * that a busy machine lets read only that late. */
const int PROBE_RETRY_MS = 10;
const int PROBE_MAX_MS = 1280;
/* Where udevd has not broadcast the device by then, and is not at work on
 * events any more, it is taken as announced then; and where its listeners
 * have not all taken the broadcast that long after it, as taken.  udevd
 * broadcast within 70 ms of the device's creation under emulation, 450 ms
 * behind a slow RUN program. */
const int ANNOUNCE_MS = 1000;
/* A machine that has not done in this long what it does in milliseconds
 * when idle is stuck: udevd broadcasts a new device within this long while
 * it is at work; once a reader has read the keyboard, a press waits this
 * long from that broadcast for its key to be read, and a keeper as long for
 * each of its keys.  The waits of runs behind them are longer. */
const int STUCK_MS = 20000;
/* A run behind another, for the lock or for a keeper's word, waits longer
 * than that one may take on a stuck machine: udevd's broadcast and the
 * readers, or a keeper's readers' return to their loops and their read,
 * each up to STUCK_MS. */
const int BEHIND_MS = 2 * STUCK_MS + 10000;
/* A process that had this user's last keyboard open opens the next one: it
 * is waited for this long after udevd's broadcast however idle it looks,
 * which leaves the key as long to be read before the stuck bound. */
const int OPENER_MS = STUCK_MS / 2;

/* The listeners and reading processes a press keeps track of; any more go
 * uncounted among them. */
const int MAX_LISTENERS = 64;
const int MAX_READERS = 16;

enum Stage { PROBING, PRESS_SENT, RELEASE_SENT, LINGERING, DONE };

struct Press {
    int uinput;
    int notify;
    int monitor; /* udevd's broadcasts, or -1 */
    int dirWatch;
    int nodeWatch;
    int udevWatch;
    char node[32];
    char path[64];      /* the node under INPUT_DIR */
    char devpath[160];  /* the node's path in sysfs, as udevd names it */
    char udevEntry[32]; /* the node's entry under UDEV_DATA_DIR, such as "c13:67" */
    uint16_t code;
    Stage stage;
    long long createdAt;
    long long udevStartedAt; /* when udev took up the node; 0 before, or unknown */
    long long appliedAt;     /* when udev had applied its rules; 0 before */
    long long announcedAt;   /* when udevd broadcast the device; 0 before */
    long long announceBy;    /* when it is taken as broadcast, where it was not */
    long long caughtUpAt;    /* when its listeners had all taken that; 0 before */
    int listeners;           /* how many others listen to udevd, or -1 */
    unsigned long listenerInodes[MAX_LISTENERS]; /* their sockets' */
    int unseenListeners;                         /* of those, in no process that may be looked at */
    int readers[MAX_READERS];                    /* processes of theirs that read input devices */
    int readerCount;
    bool readersFound;
    long long readersInAt; /* when all of those had the node open; 0 before */
    unsigned port;         /* the monitor's own netlink port */
    int open;              /* readers that have the node open */
    int heardOpens;        /* opens since udevd's broadcast, by its listeners */
    long long lastOpenAt;
    bool readSeen;        /* some reader read the node */
    long long readerPace; /* the readers' own: broadcast to open, probe to answer */
    int answers;          /* reads of probes since the last open, the last one clean */
    long long answeredAt; /* when they came to two */
    bool alone;           /* no other device with keys: a seat without a keyboard */
    int roundProbes;      /* probes written since the last read */
    long long roundAt;    /* when the first of them went out */
    long long probeAt;    /* when the last of them went out */
    int probeRetryMs;     /* how long the next probe waits for a read */
    long long lingerUntil;
    int openers[MAX_READERS]; /* processes that had this user's last keyboard open */
    int openerCount;
    int openersListed; /* of those, as listed: some may be gone since */
};

/* What a keeper says on its socket: HELLO as it takes a connection, then,
 * for the key code (two bytes) that the run sends on that, one of the
 * others.  GONE means that nothing was written: the run presses itself. */
enum KeeperWord : char {
    KEEPER_HELLO = 'h',
    KEEPER_PRESSED = 'p',
    KEEPER_GONE = 'g',
    KEEPER_REFUSED = 'r',
    KEEPER_UNREAD = 'u',
};

/* A keeper's socket's name while it does not listen yet, after its own. */
const char KEEPER_FRESH_SUFFIX[] = ".new";

/* node.cpp */
int openUinput(UinputOutcome &failure, const char *&node);
enum Locked { LOCK_TAKEN, LOCK_BUSY, LOCK_HANDED };
Locked lockUinput(int fd, const char *node, uint16_t code, UinputOutcome &handed);

/* hand.cpp */
bool keeping();
bool keeperPlace(sockaddr_un &address, bool make);
bool thisUser(int fd);
bool watchKeeperPlace(int notify);
bool handToKeeper(uint16_t code, UinputOutcome &outcome);

/* keeper.cpp */
bool keep(Press &p, const char *node);

/* device.cpp */
bool anyKeyboard();
bool createDevice(int fd);
bool findEventNode(int fd, char *node, size_t size, char *devpath, size_t pathSize);
bool writePacket(int fd, uint16_t type, uint16_t code, int value);
bool writeKeystroke(int fd, uint16_t code);
void destroyDevice(int fd);

/* udev.cpp */
extern const char UDEV_DATA_DIR[];
bool findUdevEntry(const char *path, char *entry, size_t size);
int listenToUdev();
bool heardAdd(int fd, const char *devpath, bool &more);
long long udevStartedAt(const Press &p, long long appliedAt);
bool listenersCaughtUp(Press &p);
bool udevAtWork(const Press &p);
long long announced(const Press &p);
long long pace(const Press &p);

/* processes.cpp */
void findReaders(Press &p);
bool readersOpened(const Press &p, bool idleCount);
bool readersComing(const Press &p);
bool soleReaderHolds(const Press &p);
bool openerMissing(const Press &p);
bool openersHold(const Press &p);
void keepHolders(Press &p);
void findHolders(Press &p);

/* openers.cpp */
void rememberHolders(const Press &p);
void recallOpeners(Press &p);
bool awaitedOpener(const Press &p, int pid);

/* loops.cpp */
bool inLoop(int pid);
bool readersInLoops(const Press &p);
bool machineBusy();

/* readers.cpp */
long long settledAt(const Press &p);
bool severalReaders(const Press &p);
bool watchNode(Press &p);
bool take(Press &p, const inotify_event &event);

} // namespace uinput

#endif
