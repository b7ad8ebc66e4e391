#ifndef RECORDING_KEYBOARD_H
#define RECORDING_KEYBOARD_H

/* A keybd_event that records each request instead of pressing a key. */
#include "keyboard.h"

#include <vector>

struct KeyRequest {
    BYTE virtualKey;
    BYTE scanCode;
    DWORD flags;
    ULONG_PTR extraInfo;
};

extern std::vector<KeyRequest> keyRequests;

/* When set, a request aborts the process: for runs that end in exit(), where
 * nothing recorded could be looked at afterwards. */
extern bool keyRequestsForbidden;

#endif
