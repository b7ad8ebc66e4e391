#ifndef STDOUT_MODE_H
#define STDOUT_MODE_H

/* Makes standard output pass bytes through untranslated.  Call before the
 * first output.  Supplied per platform by the build. */
void prepareStdout();

#endif
