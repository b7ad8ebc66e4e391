/* handleKeyArgs in-process, with keybd_event recorded instead of pressed. */
#include "key_args.h"
#include "media_keys.h"
#include "recording_keyboard.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string out;
};

Outcome handle(std::vector<std::string> args) {
    std::vector<char *> argv{const_cast<char *>("mediakey")};
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    keyRequests.clear();
    testing::internal::CaptureStdout();
    int status = handleKeyArgs(static_cast<int>(argv.size() - 1), argv.data());
    return {status, testing::internal::GetCapturedStdout()};
}

void expectOnePress(BYTE virtualKey) {
    ASSERT_EQ(keyRequests.size(), 1u);
    EXPECT_EQ(keyRequests[0].virtualKey, virtualKey);
    EXPECT_EQ(keyRequests[0].scanCode, 0x45);
    EXPECT_EQ(keyRequests[0].flags, 1u) << "extended key, press only";
    EXPECT_EQ(keyRequests[0].extraInfo, 0u);
}

TEST(MediaCodes, EachPressesItsKeyOnce) {
    for (const MediaKeyRow &row : mediaKeyRows) {
        SCOPED_TRACE(row.code);
        Outcome o = handle({row.code});
        expectOnePress(row.virtualKey);
        EXPECT_EQ(o.out, std::string("Invoked key '") + row.code + "'.\n");
        EXPECT_EQ(o.status, STATUS_INVOKED);
    }
}

TEST(MediaCodes, OnlyTheFirstNineCharactersDecide) {
    for (const MediaKeyRow &row : mediaKeyRows) {
        std::string arg = std::string(row.code) + "K-and-whatever%s";
        SCOPED_TRACE(arg);
        Outcome o = handle({arg});
        expectOnePress(row.virtualKey);
        EXPECT_EQ(o.out, "Invoked key '" + arg + "'.\n");
    }
}

TEST(MediaCodes, NearMissesPressNothing) {
    for (const MediaKeyRow &row : mediaKeyRows) {
        std::string code = row.code;
        std::string lower = code;
        for (char &ch : lower)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        std::string otherLetter = code.substr(0, 8) + "G";
        std::string shorter = code.substr(0, 8);
        std::string shifted = " " + code;
        for (const std::string &arg : {lower, otherLetter, shorter, shifted}) {
            SCOPED_TRACE(arg);
            Outcome o = handle({arg});
            EXPECT_TRUE(keyRequests.empty());
            EXPECT_EQ(o.out, "Key '" + arg + "' not supported.\n");
            EXPECT_EQ(o.status, STATUS_NOT_SUPPORTED);
        }
    }
}

TEST(OtherArguments, OtherCodesAndFreeTextPressNothing) {
    for (const char *arg :
         {"SHUTDOWNS", "RESTART0S", "00000000A", "A0000000K", "RETURNDNK", "UPUP0000K", "UPUP0000G",
          "RDOWN000G", "G", "K", "", "%s%n", "PLAYPAUSE"}) {
        SCOPED_TRACE(arg);
        Outcome o = handle({arg});
        EXPECT_TRUE(keyRequests.empty());
        EXPECT_EQ(o.out, std::string("Key '") + arg + "' not supported.\n");
        EXPECT_EQ(o.status, STATUS_NOT_SUPPORTED);
    }
}

TEST(OtherArguments, OnlyTheFirstArgumentCounts) {
    Outcome o = handle({"NEXT0000K", "STOP0000K"});
    expectOnePress(0xB0);
    EXPECT_EQ(o.out, "Invoked key 'NEXT0000K'.\n");

    o = handle({"RDOWN000G", "STOP0000K"});
    EXPECT_TRUE(keyRequests.empty());
    EXPECT_EQ(o.out, "Key 'RDOWN000G' not supported.\n");
}

using MissingArgumentDeathTest = testing::Test;

TEST(MissingArgumentDeathTest, RemindsAndExitsZeroWithoutPressing) {
    char program[] = "mediakey";
    char *withName[] = {program, nullptr};
    char *empty[] = {nullptr};
    keyRequestsForbidden = true;
    EXPECT_EXIT(handleKeyArgs(1, withName), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(handleKeyArgs(0, empty), testing::ExitedWithCode(0), "");
    keyRequestsForbidden = false;
}

} // namespace
