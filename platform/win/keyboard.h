#ifndef KEYBOARD_H
#define KEYBOARD_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* USER32's keybd_event, once the process's window station shows its
 * desktops to a user.  A service's station shows none: a key requested there
 * reaches no one, so nothing is requested, the reason goes to standard error
 * and the process ends with STATUS_CANNOT_PRESS. */
void keybdEventWhereSeen(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo);
#define keybd_event keybdEventWhereSeen

#endif
