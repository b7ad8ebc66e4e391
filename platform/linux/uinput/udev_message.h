#ifndef UDEV_MESSAGE_H
#define UDEV_MESSAGE_H

/* The message that systemd-udevd multicasts to its listeners once it has
 * handled a device: a fixed header, then NUL-ended KEY=VALUE properties. */

#include <stddef.h>

/* The largest message read; udevd's own listeners read no more. */
const size_t UDEV_MAX_MESSAGE_BYTES = 8192;

/* The properties that say which device was handled and how, each pointing
 * at its NUL-ended value inside the message, or null when it is absent. */
struct UdevEvent {
    const char *action;
    const char *devpath;
    const char *devname;
};

/* Reads the message received, exactly `size` bytes.  False unless it is
 * well-formed: the header of udevd's messages, its properties inside what was
 * received, each a KEY=VALUE with a key, ending in NUL. */
bool readUdevMessage(const unsigned char *message, size_t size, UdevEvent &event);

#endif
