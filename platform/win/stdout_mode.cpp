#include "stdout_mode.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

/* The Windows C runtime opens stdout in text mode and would turn each line
 * feed into CR LF; callers reading the pipe expect the bytes as written. */
void prepareStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
}
