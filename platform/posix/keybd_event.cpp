#include "key_args.h"
#include "keyboard.h"

#include <cstdio>
#include <cstdlib>

/* This system has no way to press a key built in, and no line may claim a
 * press that did not happen. */
void keybd_event(BYTE, BYTE, DWORD, ULONG_PTR) {
    fputs("mediakey: cannot press: this build has no way to press keys on this system\n", stderr);
    exit(STATUS_CANNOT_PRESS);
}
