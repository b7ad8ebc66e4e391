/* The Windows program under Wine, with a low-level keyboard hook watching
 * every event the real keybd_event produces. */
#include "program_cases.h"
#include "run_process.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

namespace {

const unsigned LLKHF_EXTENDED = 0x01;
const unsigned LLKHF_UP = 0x80;

struct HookedRun {
    std::string out;
    std::vector<std::string> events;
    std::string childExit;
    std::string hookExit;
};

std::string windowsPath(std::string path) {
    for (char &ch : path)
        if (ch == '/')
            ch = '\\';
    return "Z:" + path;
}

/* keyhook's own stderr is in text mode; its lines end in CR LF. */
HookedRun runHooked(const std::vector<std::string> &args, StdoutTo stdoutTo = StdoutTo::Pipe) {
    std::vector<std::string> argv{"wine", KEYHOOK_EXE, windowsPath(MEDIAKEY_EXE)};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = runProcess(argv, stdoutTo);

    HookedRun run{r.out, {}, "", describeWaitStatus(r.waitStatus)};
    std::istringstream err(r.err);
    std::string line;
    while (std::getline(err, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("keyhook: exit ", 0) == 0)
            run.childExit = line.substr(9);
        else if (line.rfind("keyhook: ", 0) == 0)
            run.events.push_back(line.substr(9));
        else
            ADD_FAILURE() << "unexpected stderr line: " << line;
    }
    return run;
}

void expectSinglePress(const std::vector<std::string> &events, int virtualKey) {
    ASSERT_EQ(events.size(), 1u) << testing::PrintToString(events);
    char direction[8] = "";
    unsigned vk = 0, scan = 0, flags = 0;
    unsigned long extra = 1;
    ASSERT_EQ(sscanf(events[0].c_str(), "%7s vk=0x%X scan=0x%X flags=0x%X extra=%lu", direction,
                     &vk, &scan, &flags, &extra),
              5)
        << events[0];
    EXPECT_STREQ(direction, "down");
    EXPECT_EQ(vk, unsigned(virtualKey));
    EXPECT_EQ(scan, 0x45u);
    EXPECT_TRUE(flags & LLKHF_EXTENDED) << events[0];
    EXPECT_FALSE(flags & LLKHF_UP) << events[0];
    EXPECT_EQ(extra, 0ul);
}

class WineProof : public testing::TestWithParam<ProgramCase> {
  protected:
    /* A fresh 32-bit prefix, and one server kept up for the whole suite so
     * that each run does not pay for starting it. */
    static void SetUpTestSuite() {
        setenv("WINEPREFIX", WINE_PREFIX, 1);
        setenv("WINEARCH", "win32", 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        unsetenv("DISPLAY");
        std::string prefix = WINE_PREFIX;
        ASSERT_EQ(0, std::system(("rm -rf '" + prefix + "' && mkdir -p '" + prefix + "'").c_str()));
        ASSERT_EQ(0, std::system("wineserver -p >/dev/null 2>&1"));
        ASSERT_EQ(0, std::system("wine wineboot -i >/dev/null 2>&1"));
    }

    static void TearDownTestSuite() {
        std::system("wineserver -k >/dev/null 2>&1");
    }
};

TEST_P(WineProof, PressesExactlyTheRightKeyAndWritesExactBytes) {
    const ProgramCase &c = GetParam();
    HookedRun run = runHooked(c.args);
    ASSERT_EQ(run.hookExit, "exit 0");
    EXPECT_EQ(run.out, expectedStdout(c));
    EXPECT_EQ(run.childExit, "exit " + std::to_string(expectedStatus(c)));
    if (c.virtualKey == NO_KEY)
        EXPECT_TRUE(run.events.empty()) << testing::PrintToString(run.events);
    else
        expectSinglePress(run.events, c.virtualKey);
}

INSTANTIATE_TEST_SUITE_P(Cases, WineProof, testing::ValuesIn(programCases()), caseName);

using WineOutputFailure = WineProof;

TEST_F(WineOutputFailure, StdoutOnDevFullExitsTwoAfterThePress) {
    HookedRun run = runHooked({"PLAYPAUSK"}, StdoutTo::DevFull);
    ASSERT_EQ(run.hookExit, "exit 0");
    EXPECT_EQ(run.childExit, "exit 2");
    expectSinglePress(run.events, 0xB3);

    run = runHooked({"SHUTDOWNS"}, StdoutTo::DevFull);
    EXPECT_EQ(run.childExit, "exit 2");
    EXPECT_TRUE(run.events.empty());

    run = runHooked({}, StdoutTo::DevFull);
    EXPECT_EQ(run.childExit, "exit 2");
    EXPECT_TRUE(run.events.empty());
}

} // namespace
