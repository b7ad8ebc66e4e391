#include "stdout_mode.h"

/* POSIX stdio never translates line ends. */
void prepareStdout() {}
