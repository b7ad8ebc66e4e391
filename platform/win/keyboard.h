#ifndef KEYBOARD_H
#define KEYBOARD_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#endif
