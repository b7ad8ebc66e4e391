#ifndef OBSERVE_H
#define OBSERVE_H

/* What the test-only Windows observers share: each starts PROGRAM with its
 * arguments, passed on in UTF-16 as a Windows caller passes them, pumps its
 * own messages while the program runs and then reports, on stderr:
 *   TOOL: ...                    each line given to report() meanwhile
 *   TOOL: held vk=0xB3 ...       media keys that are down afterwards, if any
 *   TOOL: console cp 437 437     the console's output code page before and
 *                                after, where there is a console
 *   TOOL: exit 0                 the program's exit status
 * The program inherits all three standard handles. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* The seven media keys, in the program's order. */
extern const UINT MEDIA_KEYS[7];

/* Called for each message posted to the thread rather than a window. */
typedef void (*ThreadMessageHandler)(const MSG &message);

/* Returns the observer's own status: 0 when it watched the whole run, 3 when
 * not.  argv[1] is the program, the rest its arguments; before them,
 * --service-station starts the program on a desktop of a window station of
 * its own, which shows nothing, as a service's. */
int observe(const char *tool, int argc, wchar_t *argv[], ThreadMessageHandler onThreadMessage);

/* Keeps one line of what was observed (without TOOL: and the newline) until
 * the program ended, so that it never mixes with the program's own output on
 * a console they share. */
void report(const char *line);

/* Says why the observer could not watch, and returns 3. */
int observerFailed(const char *tool, const char *what);

#endif
