#ifndef KEY_ARGS_H
#define KEY_ARGS_H

/* Exit statuses.  The reminder for a missing argument also ends in
 * STATUS_INVOKED: nothing went wrong, nothing was asked. */
const int STATUS_INVOKED = 0;
const int STATUS_NOT_SUPPORTED = 1;
const int STATUS_OUTPUT_FAILED = 2;
/* Where a platform finds that it cannot press the key, it says why on
 * standard error and ends the process with this, before any line claims a
 * press. */
const int STATUS_CANNOT_PRESS = 3;

/* Presses the media key named by argv[1], if it names one, and reports the
 * outcome as one line on standard output.  Ends the process itself when no
 * argument is given, and the platform's keybd_event ends it with
 * STATUS_CANNOT_PRESS where the key cannot be pressed. */
int handleKeyArgs(int argc, char *argv[]);

#endif
