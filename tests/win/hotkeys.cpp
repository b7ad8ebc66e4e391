/* Test tool, never shipped: registers the seven media keys as global hotkeys,
 * as media players and browsers listen for them, runs a program and reports
 * every hotkey notification that arrived while it ran.
 *
 *   hotkeys PROGRAM [ARG...]
 *
 * On stderr, one line per notification, then what every observer reports:
 *   hotkeys: hotkey vk=0xB3
 *   hotkeys: exit 0 */
#include "observe.h"

#include <stdio.h>

namespace {

void onThreadMessage(const MSG &message) {
    if (message.message == WM_HOTKEY) {
        char line[32];
        snprintf(line, sizeof line, "hotkey vk=0x%02X", HIWORD(message.lParam));
        report(line);
    }
}

} // namespace

int wmain(int argc, wchar_t *argv[]) {
    int id = 1;
    for (UINT vk : MEDIA_KEYS)
        if (!RegisterHotKey(nullptr, id++, 0, vk))
            return observerFailed("hotkeys", "RegisterHotKey");
    int status = observe("hotkeys", argc, argv, onThreadMessage);
    for (int i = 1; i < id; ++i)
        UnregisterHotKey(nullptr, i);
    return status;
}
