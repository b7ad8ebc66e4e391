#ifndef MEDIA_KEYS_H
#define MEDIA_KEYS_H

/* The seven codes that press a key and the virtual key each must press,
 * written out here rather than taken from the vocabulary, so that a wrong
 * constant cannot hide itself. */

struct MediaKeyRow {
    const char *code;
    unsigned char virtualKey;
};

const MediaKeyRow mediaKeyRows[] = {
    {"PLAYPAUSK", 0xB3}, {"STOP0000K", 0xB2}, {"NEXT0000K", 0xB0}, {"PREV0000K", 0xB1},
    {"VOLUP000K", 0xAF}, {"VOLDOWN0K", 0xAE}, {"VOLMUTE0K", 0xAD},
};

#endif
