#include "key_args.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

/* Where the station cannot be asked, it is taken as seen: the press goes
 * out as it always has. */
bool stationIsSeen() {
    USEROBJECTFLAGS flags;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                   nullptr))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

/* Since Windows Vista session 0 holds the services alone: its own
 * interactive station shows a desktop that no user sees.  Where the session
 * cannot be read, the press goes out as it always has. */
bool inSessionZero() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

[[noreturn]] void cannotPress(const char *where) {
    fprintf(stderr,
            "mediakey: cannot press: this process runs %s, where a key reaches no user's "
            "desktop; run it in the user's session, such as from a scheduled task set to run "
            "only when the user is logged on\n",
            where);
    exit(STATUS_CANNOT_PRESS);
}

} // namespace

void keybdEventWhereSeen(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo) {
    if (inSessionZero())
        cannotPress("in session 0, which only services use");
    if (!stationIsSeen())
        cannotPress("in a window station without a visible display, as services do");
    keybd_event(bVk, bScan, dwFlags, dwExtraInfo);
}
