/* libdbus's socket code can also take the listening sockets systemd hands a
 * bus daemon, through libsystemd, which Debian ships only as a shared
 * library.  A client is never handed any, so the static program answers
 * for libsystemd that there are none. */
#include <sys/types.h>

extern "C" {

int sd_listen_fds(int) {
    return 0;
}

int sd_is_socket(int, int, int, int) {
    return 0;
}
}
