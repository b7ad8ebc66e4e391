#include "stdout_mode.h"

#include "command_line.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <versionhelpers.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace {

/* The longest line there can be: a format and an argument of a whole command
 * line in UTF-8.  Buffered in full, the line leaves in one write, and a
 * console decodes every character whole instead of byte by byte. */
char lineBuffer[3 * COMMAND_LINE_UNITS + 64];

UINT userCodePage;

void restoreCodePage() {
    /* Unless somebody else has changed it since. */
    if (GetConsoleOutputCP() == CP_UTF8)
        SetConsoleOutputCP(userCodePage);
}

/* A console shows the bytes it is given in its output code page, and one that
 * is not UTF-8 would show a non-ASCII argument garbled.  So, where stdout is a
 * console, it reads UTF-8 for this run and gets its own code page back at the
 * end.  Before Windows 8 a console in UTF-8 reports a write's length in
 * characters rather than bytes, which the C runtime would take for a failed
 * write; there the bytes go out as they are. */
void showUtf8OnConsole() {
    DWORD mode;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) || !IsWindows8OrGreater())
        return;
    userCodePage = GetConsoleOutputCP();
    if (userCodePage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8))
        return;
    atexit(restoreCodePage);
}

} // namespace

/* The Windows C runtime opens stdout in text mode and would turn each line
 * feed into CR LF; callers reading the pipe expect the bytes as written. */
void prepareStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, lineBuffer, _IOFBF, sizeof lineBuffer);
    showUtf8OnConsole();
}
