/* The built program pressing through uinput, run inside a VM on Debian's own
 * kernel with evdev and uinput loaded, as root, with no X server.  A test
 * reader attaches to each new event device as a compositor does and reports
 * the key events it reads. */
#include "line_child.h"
#include "media_keys.h"
#include "program_cases.h"
#include "run_process.h"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const int NOBODY = 65534;

bool startsWith(const std::string &line, const char *prefix) {
    return line.rfind(prefix, 0) == 0;
}

bool anyStartsWith(const std::vector<std::string> &lines, const char *prefix) {
    for (const std::string &line : lines)
        if (startsWith(line, prefix))
            return true;
    return false;
}

/* The reader's key events among its lines. */
std::vector<std::string> keyLines(const std::vector<std::string> &lines) {
    std::vector<std::string> keys;
    for (const std::string &line : lines)
        if (startsWith(line, "press ") || startsWith(line, "release ") ||
            startsWith(line, "repeat "))
            keys.push_back(line);
    return keys;
}

class EvReader {
  public:
    explicit EvReader(const std::vector<std::string> &args = {})
        : child_(withProgram(args), "ready") {}

    /* Everything reported since the last call, once the device that the
     * program made is gone again (or right away when it made none). */
    std::vector<std::string> lines() {
        std::vector<std::string> all = child_.ask("sync", "synced");
        for (int tries = 0;
             tries < 200 && anyStartsWith(all, "attach ") && !anyStartsWith(all, "gone ");
             ++tries) {
            usleep(10000);
            std::vector<std::string> more = child_.ask("sync", "synced");
            all.insert(all.end(), more.begin(), more.end());
        }
        return all;
    }

    /* Only the key events. */
    std::vector<std::string> keys() {
        return keyLines(lines());
    }

  private:
    static std::vector<std::string> withProgram(const std::vector<std::string> &args) {
        std::vector<std::string> argv{"/suite/evreader"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    LineChild child_;
};

std::vector<std::string> keystroke(int virtualKey) {
    if (virtualKey == NO_KEY)
        return {};
    std::string code = std::to_string(mediaKeyRowFor(virtualKey)->evdevCode);
    return {"press " + code, "release " + code};
}

struct TimedRun {
    ProcessResult result;
    double seconds;
};

TimedRun runMediakey(const std::vector<std::string> &args, StdoutTo stdoutTo = StdoutTo::Pipe,
                     int asUser = -1) {
    std::vector<std::string> argv{"/suite/mediakey"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = std::chrono::steady_clock::now();
    ProcessResult r = runProcess(argv, stdoutTo, false, asUser);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {r, took.count()};
}

/* Input devices named "mediakey" that still exist. */
int leftoverDevices() {
    int count = 0;
    DIR *dir = opendir("/sys/class/input");
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        std::ifstream name(std::string("/sys/class/input/") + entry->d_name + "/name");
        std::string text;
        if (std::getline(name, text) && text == "mediakey")
            ++count;
    }
    if (dir)
        closedir(dir);
    return count;
}

/* And nothing is left behind. */
void expectCannotPress(const TimedRun &run, const std::string &mentions) {
    expectCannotPress(run.result, mentions);
    EXPECT_EQ(leftoverDevices(), 0);
}

class UinputEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }
};

const testing::Environment *const uinputEnvironment =
    testing::AddGlobalTestEnvironment(new UinputEnvironment);

class ProgramRun : public testing::TestWithParam<ProgramCase> {
  protected:
    static void SetUpTestSuite() {
        reader = std::make_unique<EvReader>();
    }
    static void TearDownTestSuite() {
        reader.reset();
    }
    static std::unique_ptr<EvReader> reader;
};

std::unique_ptr<EvReader> ProgramRun::reader;

/* Opens of /dev/uinput while it lives. */
class UinputOpens {
  public:
    UinputOpens() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(fd_, "/dev/uinput", IN_OPEN);
    }
    ~UinputOpens() {
        close(fd_);
    }
    bool any() {
        alignas(inotify_event) char buffer[4096];
        return read(fd_, buffer, sizeof buffer) > 0;
    }

  private:
    int fd_;
};

TEST_P(ProgramRun, WritesExactLineAndDeliversExactlyItsKeystroke) {
    const ProgramCase &c = GetParam();
    UinputOpens opens;
    TimedRun run = runMediakey(c.args);
    EXPECT_EQ(run.result.out, expectedStdout(c));
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus),
              "exit " + std::to_string(expectedStatus(c)));
    std::vector<std::string> lines = reader->lines();
    int devices = 0;
    for (const std::string &line : lines)
        devices += startsWith(line, "new ");
    EXPECT_EQ(keyLines(lines), keystroke(c.virtualKey)) << testing::PrintToString(lines);
    EXPECT_EQ(devices, c.virtualKey == NO_KEY ? 0 : 1) << testing::PrintToString(lines);
    EXPECT_EQ(opens.any(), c.virtualKey != NO_KEY) << "opens of /dev/uinput";
    EXPECT_EQ(leftoverDevices(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramRun, testing::ValuesIn(programCases()), caseName);

TEST(Reader, ThatProbesFirstAsUdevDoesStillGetsThePressOnce) {
    EvReader reader({"--probe"});
    TimedRun run = runMediakey({"VOLUP000K"});
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_EQ(reader.keys(), keystroke(0xAF));
}

TEST(Reader, ThatAttaches300MsLateStillGetsThePress) {
    EvReader reader({"--delay", "300"});
    TimedRun run = runMediakey({"NEXT0000K"});
    EXPECT_EQ(run.result.out, "Invoked key 'NEXT0000K'.\n");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_EQ(reader.keys(), keystroke(0xB0));
    EXPECT_GE(run.seconds, 0.3);
}

TEST(Reader, NoneMeansCannotPressWithinThreeSeconds) {
    TimedRun run = runMediakey({"PLAYPAUSK"});
    expectCannotPress(run, "no program read keyboard input");
    EXPECT_LT(run.seconds, 3.0);
}

/* X11 is not the way under Wayland, nor where DISPLAY names a dead server. */
TEST(Choice, WaylandAndDeadDisplaysGoThroughUinput) {
    EvReader reader;
    for (int both = 0; both < 2; ++both) {
        ScopedEnv display("DISPLAY", ":5");
        ScopedEnv wayland("WAYLAND_DISPLAY",
                          both ? std::optional<std::string>("wayland-0") : std::nullopt);
        TimedRun run = runMediakey({"STOP0000K"});
        SCOPED_TRACE(both ? "WAYLAND_DISPLAY and a dead DISPLAY" : "a dead DISPLAY");
        EXPECT_EQ(run.result.out, "Invoked key 'STOP0000K'.\n");
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0");
        EXPECT_EQ(reader.keys(), keystroke(0xB2));
    }
}

TEST(Output, StdoutOnDevFullExitsTwoAfterThePress) {
    EvReader reader;
    TimedRun run = runMediakey({"PREV0000K"}, StdoutTo::DevFull);
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 2");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(reader.keys(), keystroke(0xB1));
}

TEST(CannotPress, WithoutTheUinputNode) {
    EvReader reader;
    ASSERT_EQ(unlink("/dev/uinput"), 0);
    TimedRun run = runMediakey({"PLAYPAUSK"});
    ASSERT_EQ(mknod("/dev/uinput", S_IFCHR | 0600, makedev(10, 223)), 0);
    expectCannotPress(run, "modprobe uinput");
    EXPECT_EQ(reader.keys(), keystroke(NO_KEY));
}

TEST(CannotPress, AsAUserWhoMayNotOpenIt) {
    EvReader reader;
    TimedRun run = runMediakey({"PLAYPAUSK"}, StdoutTo::Pipe, NOBODY);
    expectCannotPress(run, "KERNEL==\"uinput\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\", "
                           "OPTIONS+=\"static_node=uinput\"");
    EXPECT_EQ(reader.keys(), keystroke(NO_KEY));
}

} // namespace
