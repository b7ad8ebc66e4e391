#ifndef KEYBOARD_H
#define KEYBOARD_H

/* The Windows keyboard-input call on hosts without <windows.h>, defined by
 * each host's own unit.  The types and values mirror <windows.h>. */

typedef unsigned char BYTE;
typedef unsigned long DWORD;
typedef unsigned long ULONG_PTR;

const DWORD KEYEVENTF_EXTENDEDKEY = 0x0001;

const BYTE VK_VOLUME_MUTE = 0xAD;
const BYTE VK_VOLUME_DOWN = 0xAE;
const BYTE VK_VOLUME_UP = 0xAF;
const BYTE VK_MEDIA_NEXT_TRACK = 0xB0;
const BYTE VK_MEDIA_PREV_TRACK = 0xB1;
const BYTE VK_MEDIA_STOP = 0xB2;
const BYTE VK_MEDIA_PLAY_PAUSE = 0xB3;

void keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo);

#endif
