/* Test tool, never shipped: listens for the media keys on the X display in
 * DISPLAY the way desktops' media-key daemons do, with passive grabs of the
 * seven keysyms on the root window, and reports what it receives.
 *
 * On stdout, "ready" once the grabs are in place, then one line per event:
 *   press XF86AudioPlay
 *   release XF86AudioPlay
 * Commands on stdin, one per line, each answered when done:
 *   sync           every event the server sent before now is reported; "synced"
 *   unmap KEYSYM   its keys give no keysym until "remap"; "done"
 *   remap          the keyboard map as it was; "done" */
#include "tool_commands.h"

#include <X11/XF86keysym.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

struct Keysym {
    const char *name;
    xcb_keysym_t value;
};

const Keysym mediaKeysyms[] = {
    {"XF86AudioPlay", XF86XK_AudioPlay},
    {"XF86AudioStop", XF86XK_AudioStop},
    {"XF86AudioNext", XF86XK_AudioNext},
    {"XF86AudioPrev", XF86XK_AudioPrev},
    {"XF86AudioRaiseVolume", XF86XK_AudioRaiseVolume},
    {"XF86AudioLowerVolume", XF86XK_AudioLowerVolume},
    {"XF86AudioMute", XF86XK_AudioMute},
};

xcb_connection_t *c;
xcb_window_t root;
xcb_keycode_t firstKeycode;
int perKeycode;
std::vector<xcb_keysym_t> keymap; /* as read at start */

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "keylistener: %s\n", what);
    exit(2);
}

void readKeymap() {
    const xcb_setup_t *setup = xcb_get_setup(c);
    firstKeycode = setup->min_keycode;
    auto count = static_cast<uint8_t>(setup->max_keycode - firstKeycode + 1);
    xcb_get_keyboard_mapping_reply_t *map = xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, firstKeycode, count), nullptr);
    if (!map)
        die("cannot read the keyboard map");
    perKeycode = map->keysyms_per_keycode;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(map);
    keymap.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(map));
    free(map);
}

std::vector<xcb_keycode_t> keycodesOf(xcb_keysym_t keysym) {
    std::vector<xcb_keycode_t> codes;
    for (size_t i = 0; i < keymap.size(); i += static_cast<size_t>(perKeycode))
        if (keymap[i] == keysym)
            codes.push_back(
                static_cast<xcb_keycode_t>(firstKeycode + i / static_cast<size_t>(perKeycode)));
    return codes;
}

std::string nameOf(xcb_keycode_t keycode) {
    size_t column0 = static_cast<size_t>(keycode - firstKeycode) * static_cast<size_t>(perKeycode);
    for (const Keysym &k : mediaKeysyms)
        if (column0 < keymap.size() && keymap[column0] == k.value)
            return k.name;
    return "keycode " + std::to_string(keycode);
}

void grabMediaKeys() {
    for (const Keysym &k : mediaKeysyms) {
        std::vector<xcb_keycode_t> codes = keycodesOf(k.value);
        if (codes.empty())
            die((std::string("no key gives ") + k.name).c_str());
        for (xcb_keycode_t code : codes) {
            xcb_void_cookie_t grab = xcb_grab_key_checked(c, 1, root, XCB_MOD_MASK_ANY, code,
                                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t *error = xcb_request_check(c, grab)) {
                free(error);
                die("grab refused");
            }
        }
    }
}

void report(xcb_generic_event_t *event) {
    uint8_t type = event->response_type & 0x7f;
    if (type == XCB_KEY_PRESS)
        say("press " + nameOf(reinterpret_cast<xcb_key_press_event_t *>(event)->detail));
    else if (type == XCB_KEY_RELEASE)
        say("release " + nameOf(reinterpret_cast<xcb_key_release_event_t *>(event)->detail));
}

void drainEvents() {
    while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
        report(event);
        free(event);
    }
    if (xcb_connection_has_error(c))
        die("connection lost");
}

/* A reply comes after every event the server sent before it. */
void sync() {
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    drainEvents();
    say("synced");
}

void setKeysyms(xcb_keycode_t keycode, const xcb_keysym_t *syms) {
    xcb_void_cookie_t change =
        xcb_change_keyboard_mapping_checked(c, 1, keycode, static_cast<uint8_t>(perKeycode), syms);
    if (xcb_generic_error_t *error = xcb_request_check(c, change)) {
        free(error);
        die("keyboard map change refused");
    }
}

void unmap(const std::string &name) {
    for (const Keysym &k : mediaKeysyms) {
        if (name != k.name)
            continue;
        std::vector<xcb_keysym_t> none(static_cast<size_t>(perKeycode), XCB_NO_SYMBOL);
        for (xcb_keycode_t code : keycodesOf(k.value))
            setKeysyms(code, none.data());
        return say("done");
    }
    die("unknown keysym");
}

void remap() {
    auto count = static_cast<uint8_t>(keymap.size() / static_cast<size_t>(perKeycode));
    xcb_void_cookie_t change = xcb_change_keyboard_mapping_checked(
        c, count, firstKeycode, static_cast<uint8_t>(perKeycode), keymap.data());
    if (xcb_generic_error_t *error = xcb_request_check(c, change)) {
        free(error);
        die("keyboard map change refused");
    }
    say("done");
}

void command(const std::string &line) {
    if (line == "sync")
        sync();
    else if (line.rfind("unmap ", 0) == 0)
        unmap(line.substr(6));
    else if (line == "remap")
        remap();
    else
        die("unknown command");
}

} // namespace

int main() {
    c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        die("cannot connect to DISPLAY");
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    readKeymap();
    grabMediaKeys();
    say("ready");

    std::string pending;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            drainEvents();
        if (fds[0].revents && !takeCommands(pending, command))
            return 0;
    }
}
