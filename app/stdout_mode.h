#ifndef STDOUT_MODE_H
#define STDOUT_MODE_H

/* Readies standard output for the one line: its bytes pass untranslated, and
 * where a platform's console would show them otherwise than as typed, it
 * shows them as typed.  Call before the first output.  Supplied per platform
 * by the build. */
void prepareStdout();

#endif
