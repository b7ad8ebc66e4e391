#include "observe.h"

#include <stdio.h>
#include <string>
#include <wchar.h>

namespace {

/* Events still on their way when the program ends are given this long. */
const DWORD GRACE_MS = 300;

std::string reports;

/* Quotes one argument so that the C runtime's command-line parser gives it
 * back unchanged: backslashes are literal except before a double quote. */
void appendQuoted(std::wstring &line, const wchar_t *arg) {
    std::wstring text = arg;
    if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += text;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t ch : text) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        if (ch == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line += ch;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

void pumpMessagesUntil(HANDLE process, ThreadMessageHandler onThreadMessage) {
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
            graceEnd = GetTickCount() + GRACE_MS;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!message.hwnd && onThreadMessage)
                onThreadMessage(message);
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void reportHeldKeys(const char *tool) {
    std::string held;
    for (UINT vk : MEDIA_KEYS) {
        if (GetAsyncKeyState(static_cast<int>(vk)) & 0x8000) {
            char name[16];
            snprintf(name, sizeof name, " vk=0x%02X", vk);
            held += name;
        }
    }
    if (!held.empty())
        fprintf(stderr, "%s: held%s\n", tool, held.c_str());
}

} // namespace

const UINT MEDIA_KEYS[7] = {VK_MEDIA_PLAY_PAUSE, VK_MEDIA_STOP, VK_MEDIA_NEXT_TRACK,
                            VK_MEDIA_PREV_TRACK, VK_VOLUME_UP,  VK_VOLUME_DOWN,
                            VK_VOLUME_MUTE};

void report(const char *line) {
    reports += line;
    reports += '\n';
}

int observerFailed(const char *tool, const char *what) {
    fprintf(stderr, "%s: %s failed: error %lu\n", tool, what, GetLastError());
    return 3;
}

int observe(const char *tool, int argc, wchar_t *argv[], ThreadMessageHandler onThreadMessage) {
    wchar_t *desktop = nullptr;
    wchar_t serviceDesktop[] = L"mediakey-service\\Default";
    if (argc > 1 && wcscmp(argv[1], L"--service-station") == 0) {
        /* A station of its own shows no desktop to anyone, as a service's. */
        HWINSTA own = GetProcessWindowStation();
        HWINSTA station = CreateWindowStationW(L"mediakey-service", 0, WINSTA_ALL_ACCESS, nullptr);
        if (!station || !SetProcessWindowStation(station))
            return observerFailed(tool, "CreateWindowStation");
        HDESK created = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        if (!created)
            return observerFailed(tool, "CreateDesktop");
        desktop = serviceDesktop;
        --argc;
        ++argv;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: %s [--service-station] PROGRAM [ARG...]\n", tool);
        return 3;
    }
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += L' ';
        appendQuoted(line, argv[i]);
    }

    UINT codePageBefore = GetConsoleOutputCP();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(argv[1], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child))
        return observerFailed(tool, "CreateProcess");
    CloseHandle(child.hThread);

    pumpMessagesUntil(child.hProcess, onThreadMessage);

    DWORD status = 0;
    if (!GetExitCodeProcess(child.hProcess, &status))
        return observerFailed(tool, "GetExitCodeProcess");
    CloseHandle(child.hProcess);
    for (size_t at = 0, end; (end = reports.find('\n', at)) != std::string::npos; at = end + 1)
        fprintf(stderr, "%s: %s\n", tool, reports.substr(at, end - at).c_str());
    reportHeldKeys(tool);
    if (codePageBefore != 0)
        fprintf(stderr, "%s: console cp %u %u\n", tool, codePageBefore, GetConsoleOutputCP());
    fprintf(stderr, "%s: exit %lu\n", tool, status);
    return 0;
}
