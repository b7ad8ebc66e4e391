#include "key_args.h"

#include "command_codes.h"
#include "keyboard.h" /* the platform's keybd_event, picked by the build */

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct MediaKey {
    /* The address of the code constant, not its value: an address is a
     * link-time constant, so the table needs no start-up code. */
    const char *const *code;
    BYTE virtualKey;
};

const MediaKey mediaKeys[] = {
    {&VKKEY_PLAYPAUSE, VK_MEDIA_PLAY_PAUSE},
    {&VKKEY_STOP, VK_MEDIA_STOP},
    {&VKKEY_NEXT, VK_MEDIA_NEXT_TRACK},
    {&VKKEY_PREV, VK_MEDIA_PREV_TRACK},
    {&VKKEY_VOLUP, VK_VOLUME_UP},
    {&VKKEY_VOLDOWN, VK_VOLUME_DOWN},
    {&VKKEY_VOLMUTE, VK_VOLUME_MUTE},
};

/* The whole code, category letter included; whatever follows is ignored. */
const size_t CODE_LENGTH = 9;

/* Every media key goes out with the same scan code. */
const BYTE MEDIA_SCAN_CODE = 0x45;

/* A line that stdio accepted may still fail when the buffer is written out,
 * and some C runtimes report a failed unbuffered write only through the
 * stream's error flag; any of the three means the line did not get out. */
int statusAfterOutput(int printed, int status) {
    if (printed < 0 || fflush(stdout) != 0 || ferror(stdout))
        return STATUS_OUTPUT_FAILED;
    return status;
}

} // namespace

int handleKeyArgs(int argc, char *argv[]) {
    bool invoked = false;

    if (argc < 2) {
        int printed = printf("You did not give me a key parameter to invoke.\n");
        exit(statusAfterOutput(printed, STATUS_INVOKED));
    }

    const char *key = argv[1];
    for (const MediaKey &row : mediaKeys) {
        if (strncmp(key, *row.code, CODE_LENGTH) == 0) {
            invoked = true;
            keybd_event(row.virtualKey, MEDIA_SCAN_CODE, KEYEVENTF_EXTENDEDKEY, 0);
            break;
        }
    }

    if (invoked)
        return statusAfterOutput(printf("Invoked key '%s'.\n", key), STATUS_INVOKED);
    return statusAfterOutput(printf("Key '%s' not supported.\n", key), STATUS_NOT_SUPPORTED);
}
