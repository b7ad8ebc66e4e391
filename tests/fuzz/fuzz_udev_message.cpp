/* Feeds the reader of udevd's broadcasts any bytes as one received message
 * and checks that what it accepts lies within what arrived: each property
 * found points at a value that ends in NUL inside the properties. */
#include "udev_message.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool ok, const char *invariant) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", invariant);
        abort();
    }
}

void requireWithin(const char *value, const char *key, const unsigned char *message, size_t size) {
    if (!value)
        return;
    const char *begin = reinterpret_cast<const char *>(message);
    require(value > begin && value < begin + size, "a value within the message");
    require(memchr(value, '\0', static_cast<size_t>(begin + size - value)) != nullptr,
            "a value that ends in NUL within the message");
    size_t keyLength = strlen(key);
    require(static_cast<size_t>(value - begin) > keyLength && value[-1] == '=' &&
                memcmp(value - 1 - keyLength, key, keyLength) == 0,
            "a value right after its key");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    /* Exactly what arrived, so that ASan sees any read beyond it. */
    std::vector<unsigned char> message(data, data + size);
    UdevEvent event;
    if (!readUdevMessage(message.data(), size, event)) {
        require(!event.action && !event.devpath && !event.devname, "nothing from a bad message");
        return 0;
    }
    requireWithin(event.action, "ACTION", message.data(), size);
    requireWithin(event.devpath, "DEVPATH", message.data(), size);
    requireWithin(event.devname, "DEVNAME", message.data(), size);
    return 0;
}
