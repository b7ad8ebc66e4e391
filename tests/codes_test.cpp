/* Properties of the command vocabulary that a slip of the keyboard would
 * break; values are spelled out only where they are easy to get wrong. */
#include "command_codes.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

struct Family {
    const char *name;
    std::vector<const char *> codes;
    const char *marker;
    char letter;
};

const std::vector<const char *> digitCodes = {VKKEY_0, VKKEY_1, VKKEY_2, VKKEY_3, VKKEY_4,
                                              VKKEY_5, VKKEY_6, VKKEY_7, VKKEY_8, VKKEY_9};

const std::vector<const char *> letterCodes = {
    VKKEY_A, VKKEY_B, VKKEY_C, VKKEY_D, VKKEY_E, VKKEY_F, VKKEY_G, VKKEY_H, VKKEY_I,
    VKKEY_J, VKKEY_K, VKKEY_L, VKKEY_M, VKKEY_N, VKKEY_O, VKKEY_P, VKKEY_Q, VKKEY_R,
    VKKEY_S, VKKEY_T, VKKEY_U, VKKEY_V, VKKEY_W, VKKEY_X, VKKEY_Y, VKKEY_Z,
};

std::vector<const char *> keyboardCodes() {
    std::vector<const char *> codes = digitCodes;
    codes.insert(codes.end(), letterCodes.begin(), letterCodes.end());
    codes.insert(codes.end(),
                 {VKKEY_RETURN_DOWN, VKKEY_RETURN_UP,   VKKEY_BACK,      VKKEY_DOT,
                  VKKEY_SPACE,       VKKEY_DASH,        VKKEY_SLASH,     VKKEY_COLON,
                  VKKEY_AT,          VKKEY_LPARAN,      VKKEY_RPARAN,    VKKEY_SEMICOLON,
                  VKKEY_DOLLAR,      VKKEY_AND,         VKKEY_QUOTE,     VKKEY_COMMA,
                  VKKEY_QUESTION,    VKKEY_EXCLAMATION, VKKEY_SEMIQUOTE, VKKEY_PLAYPAUSE,
                  VKKEY_STOP,        VKKEY_NEXT,        VKKEY_PREV,      VKKEY_VOLUP,
                  VKKEY_VOLDOWN,     VKKEY_VOLMUTE,     VKKEY_UP_UP,     VKKEY_UP_DOWN,
                  VKKEY_DOWN_UP,     VKKEY_DOWN_DOWN,   VKKEY_LEFT,      VKKEY_RIGHT});
    return codes;
}

const std::vector<Family> &families() {
    static const std::vector<Family> all = {
        {"KEY_",
         {KEY_R_DOWN,    KEY_R_UP,     KEY_L_DOWN,     KEY_L_UP,    KEY_Y_DOWN,
          KEY_Y_UP,      KEY_A_DOWN,   KEY_A_UP,       KEY_X_UP,    KEY_X_DOWN,
          KEY_B_UP,      KEY_B_DOWN,   KEY_UP_UP,      KEY_UP_DOWN, KEY_DOWN_UP,
          KEY_DOWN_DOWN, KEY_RIGHT_UP, KEY_RIGHT_DOWN, KEY_LEFT_UP, KEY_LEFT_DOWN},
         MOUSE_INPUT,
         'G'},
        {"TCP_ALIVE", {TCP_ALIVE}, nullptr, 'A'},
        {"VKKEY_", keyboardCodes(), KEYBOARD_INPUT, 'K'},
        {"SYS_", {SYS_SHUTDOWN, SYS_RESTART}, SYSTEM_INPUT, 'S'},
    };
    return all;
}

TEST(Vocabulary, HasNinetyOneDistinctCodes) {
    std::set<std::string> distinct;
    size_t count = 0;
    for (const Family &family : families()) {
        count += family.codes.size();
        distinct.insert(family.codes.begin(), family.codes.end());
    }
    EXPECT_EQ(count, 91u);
    EXPECT_EQ(distinct.size(), 91u);
}

TEST(Vocabulary, EveryCodeIsNinePrintableCharactersWithoutLowerCase) {
    for (const Family &family : families()) {
        for (const char *code : family.codes) {
            SCOPED_TRACE(code);
            ASSERT_EQ(strlen(code), 9u);
            for (const char *p = code; *p; ++p) {
                EXPECT_TRUE(*p > ' ' && *p < 0x7F) << "byte " << int{*p};
                EXPECT_FALSE(*p >= 'a' && *p <= 'z');
                EXPECT_NE(*p, '\\');
            }
        }
    }
}

TEST(Vocabulary, EveryFamilyEndsInItsCategoryLetter) {
    for (const Family &family : families()) {
        SCOPED_TRACE(family.name);
        for (const char *code : family.codes)
            EXPECT_EQ(code[8], family.letter) << code;
        if (family.marker) {
            EXPECT_EQ(strlen(family.marker), 1u);
            EXPECT_EQ(family.marker[0], family.letter);
        }
    }
}

TEST(Vocabulary, TouchHasAMarkerAndNoCodeKeepAliveACodeAndNoMarker) {
    EXPECT_STREQ(TOUCH_INPUT, "X");
    for (const Family &family : families())
        for (const char *code : family.codes)
            EXPECT_NE(code[8], 'X') << code;
    for (const char *marker : {MOUSE_INPUT, KEYBOARD_INPUT, TOUCH_INPUT, SYSTEM_INPUT})
        EXPECT_STRNE(marker, "A");
}

TEST(Vocabulary, DigitAndLetterKeysAreTheCharacterThenFill) {
    for (size_t i = 0; i < digitCodes.size(); ++i)
        EXPECT_EQ(std::string(digitCodes[i]), std::string(1, char('0' + i)) + "0000000K");
    for (size_t i = 0; i < letterCodes.size(); ++i)
        EXPECT_EQ(std::string(letterCodes[i]), std::string(1, char('A' + i)) + "0000000K");
}

TEST(Vocabulary, QuoteCodesHoldTheBareCharacter) {
    EXPECT_EQ(std::string(VKKEY_QUOTE), std::string(1, 0x22) + "0000000K");
    EXPECT_EQ(std::string(VKKEY_SEMIQUOTE), std::string(1, 0x27) + "0000000K");
}

TEST(Vocabulary, ShortenedAndUnfilledMnemonics) {
    EXPECT_STREQ(KEY_RIGHT_UP, "RGHTUP00G");
    EXPECT_STREQ(KEY_RIGHT_DOWN, "RGHTDOWNG");
    EXPECT_STREQ(VKKEY_RIGHT, "RIGHT000K");
    EXPECT_STREQ(VKKEY_RETURN_DOWN, "RETURNDNK");
    EXPECT_STREQ(VKKEY_RETURN_UP, "RETURNUPK");
    EXPECT_STREQ(VKKEY_PLAYPAUSE, "PLAYPAUSK");
    EXPECT_STREQ(KEY_DOWN_DOWN, "DOWNDOWNG");
    EXPECT_STREQ(SYS_SHUTDOWN, "SHUTDOWNS");
    EXPECT_STREQ(KEY_X_UP, "XUP00000G");
}

TEST(Vocabulary, CodesSharingANameFieldDifferInTheLetterAlone) {
    const char *const twins[][2] = {
        {TCP_ALIVE, VKKEY_0},
        {KEY_UP_UP, VKKEY_UP_UP},
        {KEY_UP_DOWN, VKKEY_UP_DOWN},
        {KEY_DOWN_UP, VKKEY_DOWN_UP},
        {KEY_DOWN_DOWN, VKKEY_DOWN_DOWN},
    };
    for (const auto &twin : twins) {
        SCOPED_TRACE(std::string(twin[0]) + " " + twin[1]);
        EXPECT_EQ(0, strncmp(twin[0], twin[1], 8));
        EXPECT_NE(twin[0][8], twin[1][8]);
    }
    EXPECT_STREQ(TCP_ALIVE, "00000000A");
}

} // namespace
