/* The built program as a process: exact stdout bytes, the stand-in's report
 * on stderr, and the exit status. */
#include "program_cases.h"
#include "run_process.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

std::string standInLine(int virtualKey) {
    char line[64];
    snprintf(line, sizeof line, "simulated keybd_event(0x%02X, 0x45, 0x1, 0)\n", virtualKey);
    return line;
}

ProcessResult runMediakey(const std::vector<std::string> &args, StdoutTo stdoutTo = StdoutTo::Pipe,
                          bool ignoreSigpipe = false) {
    std::vector<std::string> argv{MEDIAKEY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, stdoutTo, ignoreSigpipe);
}

class ProgramRun : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramRun, WritesExactLineReportsRequestAndExitStatus) {
    const ProgramCase &c = GetParam();
    ProcessResult r = runMediakey(c.args);
    EXPECT_EQ(r.out, expectedStdout(c));
    EXPECT_EQ(r.err, c.virtualKey == NO_KEY ? "" : standInLine(c.virtualKey));
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit " + std::to_string(expectedStatus(c)));
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramRun, testing::ValuesIn(programCases()), caseName);

TEST(ProgramArgument, OverOneHundredThousandBytesIsEchoedWhole) {
    std::string tail(120000, 'x');
    ProcessResult r = runMediakey({"PREV0000K" + tail});
    EXPECT_EQ(r.out, "Invoked key 'PREV0000K" + tail + "'.\n");
    EXPECT_EQ(r.err, standInLine(0xB1));
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0");

    r = runMediakey({tail});
    EXPECT_EQ(r.out, "Key '" + tail + "' not supported.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 1");
}

TEST(ProgramArgument, BytesThatAreNotUtf8AreEchoedUnchanged) {
    const std::string odd = "\xff\xfe\x80\xc3(\x1b[31m\x7f";
    ProcessResult r = runMediakey({odd});
    EXPECT_EQ(r.out, "Key '" + odd + "' not supported.\n");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 1");

    r = runMediakey({"VOLMUTE0K" + odd});
    EXPECT_EQ(r.out, "Invoked key 'VOLMUTE0K" + odd + "'.\n");
    EXPECT_EQ(r.err, standInLine(0xAD));
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0");
}

/* A line that cannot be written is a failure, never 0 or 1; a key already
 * pressed stays reported on stderr, and nothing else is added there. */
TEST(ProgramOutputFailure, StdoutOnDevFullExitsTwo) {
    ProcessResult r = runMediakey({}, StdoutTo::DevFull);
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 2");
    EXPECT_EQ(r.err, "");

    r = runMediakey({"PLAYPAUSK"}, StdoutTo::DevFull);
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 2");
    EXPECT_EQ(r.err, standInLine(0xB3));

    r = runMediakey({"SHUTDOWNS"}, StdoutTo::DevFull);
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 2");
    EXPECT_EQ(r.err, "");
}

TEST(ProgramOutputFailure, ClosedPipeWithSigpipeIgnoredExitsTwo) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"PLAYPAUSK"}, {"SHUTDOWNS"}}) {
        ProcessResult r = runMediakey(args, StdoutTo::ClosedPipe, true);
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 2") << testing::PrintToString(args);
    }
}

TEST(ProgramOutputFailure, ClosedPipeEndsBySigpipeAsUsual) {
    ProcessResult r = runMediakey({"STOP0000K"}, StdoutTo::ClosedPipe);
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "signal 13");
    EXPECT_EQ(r.err, standInLine(0xB2));
}

} // namespace
