#include "keyboard.h"

#include <cstdio>

/* No key can be pressed here, so say what was asked: one line on standard
 * error per request, never a silent success. */
void keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo) {
    fprintf(stderr, "simulated keybd_event(0x%02X, 0x%02X, 0x%lX, %lu)\n", unsigned{bVk},
            unsigned{bScan}, dwFlags, dwExtraInfo);
}
