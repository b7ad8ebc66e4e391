#include "udev_message.h"

#include <cstdint>
#include <cstring>

namespace {

const char PREFIX[8] = "libudev";
const uint32_t MAGIC = 0xfeedcafe;
/* prefix, magic, header size, properties' offset and length, four words
 * for socket filters: what udevd sends today.  A longer header is one a
 * newer udevd knows more of. */
const size_t MIN_HEADER_BYTES = 40;
const size_t MAGIC_AT = 8;
const size_t HEADER_SIZE_AT = 12;
const size_t PROPERTIES_OFF_AT = 16;
const size_t PROPERTIES_LEN_AT = 20;

/* A word of the header: native order but for the magic, which is big-endian. */
uint32_t word(const unsigned char *message, size_t at) {
    uint32_t value;
    memcpy(&value, message + at, sizeof value);
    return value;
}

uint32_t bigEndianWord(const unsigned char *message, size_t at) {
    return static_cast<uint32_t>(message[at]) << 24 | static_cast<uint32_t>(message[at + 1]) << 16 |
           static_cast<uint32_t>(message[at + 2]) << 8 | message[at + 3];
}

struct Wanted {
    const char *key;
    const char *UdevEvent::*field;
};

const Wanted wanted[] = {
    {"ACTION", &UdevEvent::action},
    {"DEVPATH", &UdevEvent::devpath},
    {"DEVNAME", &UdevEvent::devname},
};

} // namespace

bool readUdevMessage(const unsigned char *message, size_t size, UdevEvent &event) {
    event = {};
    if (size < MIN_HEADER_BYTES || size > UDEV_MAX_MESSAGE_BYTES ||
        memcmp(message, PREFIX, sizeof PREFIX) != 0 || bigEndianWord(message, MAGIC_AT) != MAGIC)
        return false;
    size_t header = word(message, HEADER_SIZE_AT);
    size_t offset = word(message, PROPERTIES_OFF_AT);
    size_t length = word(message, PROPERTIES_LEN_AT);
    /* Each bounded by size, so their sums cannot wrap. */
    if (header < MIN_HEADER_BYTES || header > size || offset < header || offset > size ||
        length == 0 || length > size - offset)
        return false;
    const char *properties = reinterpret_cast<const char *>(message + offset);
    if (properties[length - 1] != '\0')
        return false;
    UdevEvent found = {};
    for (size_t at = 0; at < length;) {
        const char *property = properties + at;
        size_t propertyLength = strlen(property);
        const char *equals = static_cast<const char *>(memchr(property, '=', propertyLength));
        if (!equals || equals == property)
            return false;
        size_t keyLength = static_cast<size_t>(equals - property);
        for (const Wanted &w : wanted)
            if (strlen(w.key) == keyLength && memcmp(property, w.key, keyLength) == 0)
                found.*w.field = equals + 1;
        at += propertyLength + 1;
    }
    event = found;
    return true;
}
