#ifndef COMMAND_LINE_H
#define COMMAND_LINE_H

/* A Windows command line holds at most 32,767 UTF-16 units; with its NUL,
 * this many.  In UTF-8 a unit takes at most three bytes (a surrogate pair,
 * two units, takes four). */
const int COMMAND_LINE_UNITS = 32768;

#endif
