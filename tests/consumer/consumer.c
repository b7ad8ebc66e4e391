/* Written in C on purpose: senders need not be C++ programs. */
#include <command_codes.h>
#include <stdio.h>

int main(void) {
    printf("%s %s %s %s\n", VKKEY_PLAYPAUSE, KEY_RIGHT_DOWN, TCP_ALIVE, SYSTEM_INPUT);
    return 0;
}
