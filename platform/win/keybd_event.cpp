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

} // namespace

void keybdEventWhereSeen(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo) {
    if (!stationIsSeen()) {
        fputs("mediakey: cannot press: this process runs in a window station without a visible "
              "display, as services do, where a key reaches no user's desktop; run it in the "
              "user's session, such as from a scheduled task set to run only when the user is "
              "logged on\n",
              stderr);
        exit(STATUS_CANNOT_PRESS);
    }
    keybd_event(bVk, bScan, dwFlags, dwExtraInfo);
}
