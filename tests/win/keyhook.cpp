/* Test tool, never shipped: runs a program under a low-level keyboard hook
 * and reports every keyboard event the system saw while it ran.
 *
 *   keyhook PROGRAM [ARG...]
 *
 * The program inherits stdout.  On stderr, one line per event and then the
 * program's exit status:
 *   keyhook: down vk=0xB3 scan=0x45 flags=0x01 extra=0
 *   keyhook: exit 0
 * keyhook itself exits 0 when it could watch the whole run, 3 when not. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string>

namespace {

/* Events still on their way when the program ends are given this long. */
const DWORD GRACE_MS = 300;

LRESULT CALLBACK onKeyboardEvent(int code, WPARAM message, LPARAM data) {
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(data);
        const char *direction = message == WM_KEYDOWN || message == WM_SYSKEYDOWN ? "down" : "up";
        fprintf(stderr, "keyhook: %s vk=0x%02lX scan=0x%02lX flags=0x%02lX extra=%lu\n", direction,
                event->vkCode, event->scanCode, event->flags,
                static_cast<unsigned long>(event->dwExtraInfo));
        fflush(stderr);
    }
    return CallNextHookEx(nullptr, code, message, data);
}

/* Quotes one argument so that the C runtime's command-line parser gives it
 * back unchanged: backslashes are literal except before a double quote. */
void appendQuoted(std::string &line, const char *arg) {
    std::string text = arg;
    if (!text.empty() && text.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += text;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char ch : text) {
        if (ch == '\\') {
            ++backslashes;
            continue;
        }
        if (ch == '"')
            line.append(backslashes * 2 + 1, '\\');
        else
            line.append(backslashes, '\\');
        backslashes = 0;
        line += ch;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

int fail(const char *what) {
    fprintf(stderr, "keyhook: %s failed: error %lu\n", what, GetLastError());
    return 3;
}

void pumpMessagesUntil(HANDLE process, DWORD graceMs) {
    bool exited = false;
    DWORD graceEnd = 0;
    for (;;) {
        DWORD timeout = INFINITE;
        if (exited) {
            DWORD now = GetTickCount();
            if (static_cast<LONG>(graceEnd - now) <= 0)
                return;
            timeout = graceEnd - now;
        }
        DWORD woke =
            MsgWaitForMultipleObjects(exited ? 0 : 1, &process, FALSE, timeout, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0 && !exited) {
            exited = true;
            graceEnd = GetTickCount() + graceMs;
        }
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2) {
        fprintf(stderr, "usage: keyhook PROGRAM [ARG...]\n");
        return 3;
    }
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, onKeyboardEvent, GetModuleHandleA(nullptr), 0);
    if (!hook)
        return fail("SetWindowsHookEx");

    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        appendQuoted(line, argv[i]);
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(argv[1], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child))
        return fail("CreateProcess");
    CloseHandle(child.hThread);

    pumpMessagesUntil(child.hProcess, GRACE_MS);

    DWORD status = 0;
    if (!GetExitCodeProcess(child.hProcess, &status))
        return fail("GetExitCodeProcess");
    CloseHandle(child.hProcess);
    UnhookWindowsHookEx(hook);
    fprintf(stderr, "keyhook: exit %lu\n", status);
    return 0;
}
