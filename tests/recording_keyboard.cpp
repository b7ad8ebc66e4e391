#include "recording_keyboard.h"

#include <cstdlib>

std::vector<KeyRequest> keyRequests;
bool keyRequestsForbidden = false;

void keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo) {
    if (keyRequestsForbidden)
        abort();
    keyRequests.push_back({bVk, bScan, dwFlags, dwExtraInfo});
}
