/* The program's entry on the Windows C runtime.  Its narrow start-up passes
 * each argument through the ANSI code page and loses every character that page
 * lacks.  The wide start-up splits the UTF-16 command line by the same rules;
 * here the arguments go on in UTF-8, whole, as a POSIX runtime hands them to
 * main. */
#include "command_line.h"
#include "key_args.h"
#include "stdout_mode.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace {

/* Every argument but the first takes at least one unit of the command line,
 * its separator, so the arguments and their NULs always fit. */
char utf8Text[4 * COMMAND_LINE_UNITS];
char *utf8Argv[COMMAND_LINE_UNITS + 1];

/* An unpaired surrogate becomes U+FFFD: the text stays valid UTF-8. */
bool toUtf8(int argc, wchar_t *wideArgv[]) {
    if (argc > COMMAND_LINE_UNITS)
        return false;
    int used = 0;
    for (int i = 0; i < argc; ++i) {
        int room = static_cast<int>(sizeof utf8Text) - used;
        int written = WideCharToMultiByte(CP_UTF8, 0, wideArgv[i], -1, utf8Text + used, room,
                                          nullptr, nullptr);
        if (written == 0)
            return false;
        utf8Argv[i] = utf8Text + used;
        used += written;
    }
    utf8Argv[argc] = nullptr;
    return true;
}

} // namespace

int wmain(int argc, wchar_t *wideArgv[]) {
    /* Beyond what any command line can hold; nothing is pressed. */
    if (!toUtf8(argc, wideArgv)) {
        fputs("mediakey: the command line is too long to read\n", stderr);
        return STATUS_NOT_SUPPORTED;
    }
    prepareStdout();
    return handleKeyArgs(argc, utf8Argv);
}
