/* The processes that had this user's last keyboard open, kept beside the
 * keeper's socket: a compositor opens each new keyboard, but one that asks
 * another process for the node (sway asks seatd, which a busy machine runs
 * late) waits for it in a poll, as if back in its loop with nothing to do,
 * and lost the key that a libinput beside it read.  Such a process is
 * waited for as long as a stuck machine's bound.  A process counts as the
 * same only with the same start time, and the file only where it is this
 * user's own: a false entry can only make a press wait longer. */
#include "uinput.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace uinput {

namespace {

const char FILE_NAME[] = "mediakey-readers";
/* "pid start\n" a process. */
const size_t LINE_MAX_BYTES = 32;
const size_t PATH_BYTES = sizeof(sockaddr_un::sun_path) + sizeof FILE_NAME;

/* In the keeper's directory. */
bool openersPath(char *path, bool make) {
    sockaddr_un address;
    if (!keeperPlace(address, make))
        return false;
    *strrchr(address.sun_path, '/') = '\0';
    snprintf(path, PATH_BYTES, "%s/%s", address.sun_path, FILE_NAME);
    return true;
}

/* The start time of process `pid`, in clock ticks after boot; 0 where it is
 * gone. */
unsigned long long startOf(int pid) {
    char path[32], text[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return 0;
    text[length] = '\0';
    /* The name, in parentheses, may hold anything but ends at the last;
     * after it, fields 3 to 21, then the start time. */
    const char *field = strrchr(text, ')');
    for (int skip = 0; field && skip < 20; ++skip)
        field = strchr(field + 1, ' ');
    return field ? strtoull(field + 1, nullptr, 10) : 0;
}

} // namespace

void rememberHolders(const Press &p) {
    char path[PATH_BYTES], fresh[PATH_BYTES + 16];
    if (!openersPath(path, true) ||
        snprintf(fresh, sizeof fresh, "%s.%d", path, getpid()) >= static_cast<int>(sizeof fresh))
        return;
    /* The readers found that hold the node, where the press looked for
     * them; each open is some holder's, so where fewer hold it (one handed
     * the node), every process is looked at.  Where none were looked for,
     * the list had nothing to do with this press, and stands while all it
     * names are there and may account for the opens; a new compositor's
     * place in it is found by a look at every process. */
    Press holders = p;
    if (p.readersFound) {
        keepHolders(holders);
        if (holders.readerCount < p.open)
            findHolders(holders);
    } else if (p.openerCount > 0 && p.openerCount == p.openersListed && p.open <= p.openerCount) {
        return;
    } else {
        findHolders(holders);
    }
    char text[MAX_READERS * LINE_MAX_BYTES];
    size_t length = 0;
    for (int i = 0; i < holders.readerCount; ++i) {
        unsigned long long start = startOf(holders.readers[i]);
        int line =
            snprintf(text + length, sizeof text - length, "%d %llu\n", holders.readers[i], start);
        if (start && line > 0 && static_cast<size_t>(line) < sizeof text - length)
            length += static_cast<size_t>(line);
    }
    /* One left by a run of the same pid that died before its rename. */
    unlink(fresh);
    int fd = open(fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    bool written = write(fd, text, length) == static_cast<ssize_t>(length);
    if (close(fd) != 0 || !written || rename(fresh, path) != 0)
        unlink(fresh);
}

void recallOpeners(Press &p) {
    p.openerCount = p.openersListed = 0;
    char path[PATH_BYTES];
    if (!openersPath(path, false))
        return;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat file;
    char text[MAX_READERS * LINE_MAX_BYTES + 1];
    ssize_t length = -1;
    if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == getuid())
        length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return;
    text[length] = '\0';
    for (char *line = text; p.openerCount < MAX_READERS && *line;) {
        char *end;
        long pid = strtol(line, &end, 10);
        unsigned long long start = strtoull(end, &end, 10);
        if (pid <= 0 || pid > INT_MAX || start == 0 || *end != '\n')
            break;
        ++p.openersListed;
        if (pid != getpid() && startOf(static_cast<int>(pid)) == start)
            p.openers[p.openerCount++] = static_cast<int>(pid);
        line = end + 1;
    }
}

bool awaitedOpener(const Press &p, int pid) {
    if (nowMs() >= announced(p) + OPENER_MS)
        return false;
    for (int i = 0; i < p.openerCount; ++i)
        if (p.openers[i] == pid)
            return true;
    return false;
}

} // namespace uinput
