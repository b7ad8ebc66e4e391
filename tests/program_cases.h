#ifndef PROGRAM_CASES_H
#define PROGRAM_CASES_H

/* Runs of the whole program that every build must answer alike, whatever
 * presses the key: what goes in, and which key, if any, must be pressed. */

#include "run_process.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

const int NO_KEY = -1;

struct ProgramCase {
    const char *name;
    std::vector<std::string> args;
    int virtualKey;
};

inline void PrintTo(const ProgramCase &c, std::ostream *os) {
    *os << c.name;
}

inline std::string caseName(const testing::TestParamInfo<ProgramCase> &param) {
    return param.param.name;
}

inline const std::vector<ProgramCase> &programCases() {
    static const std::vector<ProgramCase> cases = {
        {"NoArgument", {}, NO_KEY},
        {"PlayPause", {"PLAYPAUSK"}, 0xB3},
        {"Stop", {"STOP0000K"}, 0xB2},
        {"Next", {"NEXT0000K"}, 0xB0},
        {"Prev", {"PREV0000K"}, 0xB1},
        {"VolumeUp", {"VOLUP000K"}, 0xAF},
        {"VolumeDown", {"VOLDOWN0K"}, 0xAE},
        {"Mute", {"VOLMUTE0K"}, 0xAD},
        {"CodeWithTail", {"VOLUP000Kxyz"}, 0xAF},
        {"CodeWithSpacedTail", {"NEXT0000K and \"more\""}, 0xB0},
        {"SecondArgumentIgnored", {"NEXT0000K", "STOP0000K"}, 0xB0},
        {"SecondArgumentNeverUsed", {"A0000000K", "PLAYPAUSK"}, NO_KEY},
        {"MouseCode", {"RDOWN000G"}, NO_KEY},
        {"KeepAlive", {"00000000A"}, NO_KEY},
        {"LetterKey", {"A0000000K"}, NO_KEY},
        {"ReturnKey", {"RETURNDNK"}, NO_KEY},
        {"KeyboardArrow", {"UPUP0000K"}, NO_KEY},
        {"SystemShutdown", {"SHUTDOWNS"}, NO_KEY},
        {"CategoryMarker", {"K"}, NO_KEY},
        {"WithoutCategoryLetter", {"VOLUP000"}, NO_KEY},
        {"LowerCase", {"volup000k"}, NO_KEY},
        {"OtherCategoryLetter", {"VOLUP000G"}, NO_KEY},
        {"FullWordPlayPause", {"PLAYPAUSE"}, NO_KEY},
        {"LeadingSpace", {" PLAYPAUSK"}, NO_KEY},
        {"EmptyArgument", {""}, NO_KEY},
        {"PrintfDirectives", {"%s%n%x%p%%%999999d"}, NO_KEY},
        {"PrintfDirectivesAfterCode", {"STOP0000K%s%n"}, 0xB2},
        {"QuotesAndSpaces", {"say \"hi\" 'there'\\"}, NO_KEY},
        {"Wildcard", {"*"}, NO_KEY},
        /* UTF-8, which the Windows program gets from a UTF-16 command line. */
        {"LatinAfterCode", {"VOLUP000Küéß"}, 0xAF},
        {"ArrowAfterCode", {"NEXT0000K →"}, 0xB0},
        {"Cjk", {"再生"}, NO_KEY},
        {"OutsideBmpAfterCode", {"PLAYPAUSK 🎵"}, 0xB3},
        {"OutsideBmpAlone", {"𝄞"}, NO_KEY},
        {"QuoteInsideNonAscii", {"«\"grüß\"» \\\"再\\"}, NO_KEY},
        {"NonAsciiInsideCode", {"PLAYPAUSÜ"}, NO_KEY},
        {"FullwidthCode", {"ＰＬＡＹＰＡＵＳＫ"}, NO_KEY},
    };
    return cases;
}

inline std::string expectedStdout(const ProgramCase &c) {
    if (c.args.empty())
        return "You did not give me a key parameter to invoke.\n";
    if (c.virtualKey != NO_KEY)
        return "Invoked key '" + c.args[0] + "'.\n";
    return "Key '" + c.args[0] + "' not supported.\n";
}

inline int expectedStatus(const ProgramCase &c) {
    return c.args.empty() || c.virtualKey != NO_KEY ? 0 : 1;
}

/* No line claims a press that did not happen: stdout stays empty, stderr
 * gets one line that says why, and the status is 3. */
inline void expectCannotPress(const ProcessResult &r, const std::string &mentions = "mediakey: ") {
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 3");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("mediakey: cannot press: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(mentions), std::string::npos) << r.err;
}

#endif
