#ifndef MEDIA_KEYS_H
#define MEDIA_KEYS_H

/* The seven codes that press a key and what each must press, written out
 * here rather than taken from the program, so that a wrong value there
 * cannot hide itself: the Windows virtual key, and on Linux the X11 keysym
 * and the evdev key code. */

struct MediaKeyRow {
    const char *code;
    unsigned char virtualKey;
    const char *keysym;
    unsigned short evdevCode;
};

const MediaKeyRow mediaKeyRows[] = {
    {"PLAYPAUSK", 0xB3, "XF86AudioPlay", 164},
    {"STOP0000K", 0xB2, "XF86AudioStop", 166},
    {"NEXT0000K", 0xB0, "XF86AudioNext", 163},
    {"PREV0000K", 0xB1, "XF86AudioPrev", 165},
    {"VOLUP000K", 0xAF, "XF86AudioRaiseVolume", 115},
    {"VOLDOWN0K", 0xAE, "XF86AudioLowerVolume", 114},
    {"VOLMUTE0K", 0xAD, "XF86AudioMute", 113},
};

inline const MediaKeyRow *mediaKeyRowFor(int virtualKey) {
    for (const MediaKeyRow &row : mediaKeyRows)
        if (row.virtualKey == virtualKey)
            return &row;
    return nullptr;
}

#endif
