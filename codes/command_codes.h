/* The command vocabulary: every code is nine characters, an eight-character
 * name field filled on the right with '0', then one category letter.  Codes
 * are only ever compared whole, category letter included. */
#ifndef COMMAND_CODES_H
#define COMMAND_CODES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Category markers. */
extern const char *const MOUSE_INPUT;
extern const char *const KEYBOARD_INPUT;
extern const char *const TOUCH_INPUT;
extern const char *const SYSTEM_INPUT;

/* Buttons and directions, category G. */
extern const char *const KEY_R_DOWN;
extern const char *const KEY_R_UP;
extern const char *const KEY_L_DOWN;
extern const char *const KEY_L_UP;
extern const char *const KEY_Y_DOWN;
extern const char *const KEY_Y_UP;
extern const char *const KEY_A_DOWN;
extern const char *const KEY_A_UP;
extern const char *const KEY_X_UP;
extern const char *const KEY_X_DOWN;
extern const char *const KEY_B_UP;
extern const char *const KEY_B_DOWN;
extern const char *const KEY_UP_UP;
extern const char *const KEY_UP_DOWN;
extern const char *const KEY_DOWN_UP;
extern const char *const KEY_DOWN_DOWN;
extern const char *const KEY_RIGHT_UP;
extern const char *const KEY_RIGHT_DOWN;
extern const char *const KEY_LEFT_UP;
extern const char *const KEY_LEFT_DOWN;

/* Keep-alive, category A. */
extern const char *const TCP_ALIVE;

/* Keyboard, category K. */
extern const char *const VKKEY_0;
extern const char *const VKKEY_1;
extern const char *const VKKEY_2;
extern const char *const VKKEY_3;
extern const char *const VKKEY_4;
extern const char *const VKKEY_5;
extern const char *const VKKEY_6;
extern const char *const VKKEY_7;
extern const char *const VKKEY_8;
extern const char *const VKKEY_9;
extern const char *const VKKEY_A;
extern const char *const VKKEY_B;
extern const char *const VKKEY_C;
extern const char *const VKKEY_D;
extern const char *const VKKEY_E;
extern const char *const VKKEY_F;
extern const char *const VKKEY_G;
extern const char *const VKKEY_H;
extern const char *const VKKEY_I;
extern const char *const VKKEY_J;
extern const char *const VKKEY_K;
extern const char *const VKKEY_L;
extern const char *const VKKEY_M;
extern const char *const VKKEY_N;
extern const char *const VKKEY_O;
extern const char *const VKKEY_P;
extern const char *const VKKEY_Q;
extern const char *const VKKEY_R;
extern const char *const VKKEY_S;
extern const char *const VKKEY_T;
extern const char *const VKKEY_U;
extern const char *const VKKEY_V;
extern const char *const VKKEY_W;
extern const char *const VKKEY_X;
extern const char *const VKKEY_Y;
extern const char *const VKKEY_Z;
extern const char *const VKKEY_RETURN_DOWN;
extern const char *const VKKEY_RETURN_UP;
extern const char *const VKKEY_BACK;
extern const char *const VKKEY_DOT;
extern const char *const VKKEY_SPACE;
extern const char *const VKKEY_DASH;
extern const char *const VKKEY_SLASH;
extern const char *const VKKEY_COLON;
extern const char *const VKKEY_AT;
extern const char *const VKKEY_LPARAN;
extern const char *const VKKEY_RPARAN;
extern const char *const VKKEY_SEMICOLON;
extern const char *const VKKEY_DOLLAR;
extern const char *const VKKEY_AND;
extern const char *const VKKEY_QUOTE;
extern const char *const VKKEY_COMMA;
extern const char *const VKKEY_QUESTION;
extern const char *const VKKEY_EXCLAMATION;
extern const char *const VKKEY_SEMIQUOTE;
extern const char *const VKKEY_PLAYPAUSE;
extern const char *const VKKEY_STOP;
extern const char *const VKKEY_NEXT;
extern const char *const VKKEY_PREV;
extern const char *const VKKEY_VOLUP;
extern const char *const VKKEY_VOLDOWN;
extern const char *const VKKEY_VOLMUTE;
extern const char *const VKKEY_UP_UP;
extern const char *const VKKEY_UP_DOWN;
extern const char *const VKKEY_DOWN_UP;
extern const char *const VKKEY_DOWN_DOWN;
extern const char *const VKKEY_LEFT;
extern const char *const VKKEY_RIGHT;

/* System actions, category S. */
extern const char *const SYS_SHUTDOWN;
extern const char *const SYS_RESTART;

#ifdef __cplusplus
}
#endif

#endif
