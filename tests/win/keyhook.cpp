/* Test tool, never shipped: runs a program under a low-level keyboard hook
 * and reports every keyboard event the system saw while it ran.
 *
 *   keyhook PROGRAM [ARG...]
 *
 * On stderr, one line per event, then what every observer reports:
 *   keyhook: down vk=0xB3 scan=0x45 flags=0x01 extra=0
 *   keyhook: exit 0 */
#include "observe.h"

#include <stdio.h>

namespace {

LRESULT CALLBACK onKeyboardEvent(int code, WPARAM message, LPARAM data) {
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(data);
        const char *direction = message == WM_KEYDOWN || message == WM_SYSKEYDOWN ? "down" : "up";
        char line[80];
        snprintf(line, sizeof line, "%s vk=0x%02lX scan=0x%02lX flags=0x%02lX extra=%lu", direction,
                 event->vkCode, event->scanCode, event->flags,
                 static_cast<unsigned long>(event->dwExtraInfo));
        report(line);
    }
    return CallNextHookEx(nullptr, code, message, data);
}

} // namespace

int wmain(int argc, wchar_t *argv[]) {
    HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, onKeyboardEvent, GetModuleHandleW(nullptr), 0);
    if (!hook)
        return observerFailed("keyhook", "SetWindowsHookEx");
    int status = observe("keyhook", argc, argv, nullptr);
    UnhookWindowsHookEx(hook);
    return status;
}
