/* Feeds handleKeyArgs arbitrary argument vectors and checks, independently
 * of how it matches, that it presses the right key or none.  The input up to
 * the first NUL is the first argument; any rest is a second one. */
#include "key_args.h"
#include "media_keys.h"
#include "recording_keyboard.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool ok, const char *invariant) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", invariant);
        abort();
    }
}

const MediaKeyRow *expectedRow(const std::string &arg) {
    for (const MediaKeyRow &row : mediaKeyRows)
        if (arg.size() >= 9 && memcmp(arg.data(), row.code, 9) == 0)
            return &row;
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    require(freopen("/dev/null", "w", stdout) != nullptr, "stdout goes to /dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t end = input.find('\0');
    std::string first = input.substr(0, end);
    std::string second = end == std::string::npos ? "" : input.substr(end + 1);

    char program[] = "mediakey";
    char *argv[] = {program, first.data(), second.data(), nullptr};
    int argc = end == std::string::npos ? 2 : 3;

    keyRequests.clear();
    int status = handleKeyArgs(argc, argv);

    const MediaKeyRow *row = expectedRow(first);
    require(keyRequests.size() <= 1, "at most one key request");
    require(keyRequests.size() == (row ? 1u : 0u), "a request exactly for a media code");
    require(status == (row ? STATUS_INVOKED : STATUS_NOT_SUPPORTED), "status 0 exactly on a press");
    if (row) {
        const KeyRequest &request = keyRequests[0];
        require(request.virtualKey == row->virtualKey, "the row's virtual key");
        require(request.scanCode == 0x45, "scan code 0x45");
        require(request.flags == 1, "extended-key flag alone");
        require(request.extraInfo == 0, "no extra information");
    }
    return 0;
}
