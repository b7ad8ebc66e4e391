/* The Windows program under Wine, watched by two test-only observers: a
 * low-level keyboard hook, which sees every event the real keybd_event
 * produces, and global hotkeys, which is how media players and browsers hear
 * the media keys.  It runs through tests/vm/wine.sh, in the directory that
 * holds the three programs, with the prefix ready and its server up. */
#include "program_cases.h"
#include "run_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const unsigned LLKHF_EXTENDED = 0x01;
const unsigned LLKHF_UP = 0x80;

std::string beside(const char *name) {
    char dir[4096];
    return std::string(getcwd(dir, sizeof dir) ? dir : ".") + "/" + name;
}

struct Observer {
    const char *name;
    const char *exe;
};
const Observer KEYHOOK{"keyhook", "keyhook.exe"};
const Observer HOTKEYS{"hotkeys", "hotkeys.exe"};

struct ObservedRun {
    std::string out;
    /* Each event or notification the observer reported, without its name. */
    std::vector<std::string> reports;
    std::string held;
    std::string codePages;
    std::string childExit;
    std::string observerExit;
    /* What a console run drew, escapes and all. */
    std::string terminal;
};

std::string windowsPath(std::string path) {
    for (char &ch : path)
        if (ch == '/')
            ch = '\\';
    return "Z:" + path;
}

/* Wine's console draws on a terminal with escape sequences, some spaces
 * among them as cursor moves; this gives back the text it drew. */
std::string drawnText(const std::string &terminal) {
    std::string text;
    for (size_t i = 0; i < terminal.size(); ++i) {
        char ch = terminal[i];
        if (ch == '\r')
            continue;
        if (ch != '\x1b' || i + 1 >= terminal.size() || terminal[i + 1] != '[') {
            text += ch;
            continue;
        }
        size_t end = terminal.find_first_of("ABCDEFGHJKSTfhlmsu", i + 2);
        if (end == std::string::npos)
            break;
        if (terminal[end] == 'C')
            text.append(static_cast<size_t>(std::max(1, atoi(&terminal[i + 2]))), ' ');
        i = end;
    }
    return text;
}

/* Reads the observer's lines (stderr, in text mode: CR LF).  Where stdout
 * shares the stream, as on a console, every other line is the program's
 * stdout; otherwise another line is a failure. */
ObservedRun parse(const Observer &observer, const std::string &lines, int observerStatus,
                  bool sharedWithStdout = false) {
    ObservedRun run{"", {}, "", "", "", describeWaitStatus(observerStatus), ""};
    const std::string prefix = std::string(observer.name) + ": ";
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind(prefix, 0) != 0) {
            if (sharedWithStdout)
                run.out += line + '\n';
            else
                ADD_FAILURE() << "unexpected line: " << line;
            continue;
        }
        line.erase(0, prefix.size());
        if (line.rfind("exit ", 0) == 0)
            run.childExit = line;
        else if (line.rfind("held", 0) == 0)
            run.held = line.substr(4);
        else if (line.rfind("console cp ", 0) == 0)
            run.codePages = line.substr(11);
        else
            run.reports.push_back(line);
    }
    return run;
}

std::vector<std::string> observerArgv(const Observer &observer,
                                      const std::vector<std::string> &args) {
    std::vector<std::string> argv{"wine", beside(observer.exe),
                                  windowsPath(beside("mediakey.exe"))};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ObservedRun runObserved(const Observer &observer, const std::vector<std::string> &args,
                        StdoutTo stdoutTo = StdoutTo::Pipe) {
    ProcessResult r = runProcess(observerArgv(observer, args), stdoutTo);
    ObservedRun run = parse(observer, r.err, r.waitStatus);
    run.out = r.out;
    return run;
}

/* Everything on one terminal, which Wine makes the console. */
ObservedRun runOnConsole(const Observer &observer, const std::vector<std::string> &args) {
    ProcessResult r = runOnTerminal(observerArgv(observer, args));
    ObservedRun run = parse(observer, drawnText(r.out), r.waitStatus, true);
    run.terminal = r.out;
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

std::vector<std::string> hotkeysFor(int virtualKey) {
    if (virtualKey == NO_KEY)
        return {};
    char line[32];
    snprintf(line, sizeof line, "hotkey vk=0x%02X", unsigned(virtualKey));
    return {line};
}

void setWindowsVersion(const char *version) {
    std::string command = std::string("wine reg add 'HKCU\\Software\\Wine' /v Version /d ") +
                          version + " /f >/dev/null 2>&1";
    ASSERT_EQ(0, std::system(command.c_str()));
}

/* The 32-bit prefix reports Windows 10.  Wine turns its Unix arguments into
 * UTF-16 by the locale's character set. */
class WineEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        ASSERT_NE(getenv("WINEPREFIX"), nullptr) << "run through tests/vm/wine.sh";
        setenv("LC_ALL", "C.UTF-8", 1);
        unsetenv("DISPLAY");
        setWindowsVersion("win10");
    }
};

const testing::Environment *const wineEnvironment =
    testing::AddGlobalTestEnvironment(new WineEnvironment);

class WineProof : public testing::TestWithParam<ProgramCase> {};

/* Runs one case and checks what every run must give: the exact stdout bytes
 * and the status. */
ObservedRun runCase(const Observer &observer, const ProgramCase &c, bool onConsole = false) {
    ObservedRun run = onConsole ? runOnConsole(observer, c.args) : runObserved(observer, c.args);
    EXPECT_EQ(run.observerExit, "exit 0");
    EXPECT_EQ(run.out, expectedStdout(c))
        << (onConsole ? "the terminal got " + testing::PrintToString(run.terminal) : "");
    EXPECT_EQ(run.childExit, "exit " + std::to_string(expectedStatus(c)));
    return run;
}

TEST_P(WineProof, KeyboardHookSeesExactlyThePressAndStdoutIsExact) {
    const ProgramCase &c = GetParam();
    ObservedRun run = runCase(KEYHOOK, c);
    if (c.virtualKey == NO_KEY)
        EXPECT_TRUE(run.reports.empty()) << testing::PrintToString(run.reports);
    else
        expectSinglePress(run.reports, c.virtualKey);
}

TEST_P(WineProof, HotkeyOfItsOwnKeyNotifiesExactlyOnce) {
    const ProgramCase &c = GetParam();
    EXPECT_EQ(runCase(HOTKEYS, c).reports, hotkeysFor(c.virtualKey));
}

INSTANTIATE_TEST_SUITE_P(Cases, WineProof, testing::ValuesIn(programCases()), caseName);

TEST(WineArgument, NearTheCommandLineLimitComesBackWhole) {
    std::string tail;
    for (int i = 0; i < 30000; ++i)
        tail += "再";
    for (const Observer &observer : {KEYHOOK, HOTKEYS}) {
        ObservedRun run = runObserved(observer, {"PREV0000K" + tail});
        EXPECT_EQ(run.out, "Invoked key 'PREV0000K" + tail + "'.\n") << observer.name;
        EXPECT_EQ(run.childExit, "exit 0");
        EXPECT_EQ(run.reports.size(), 1u);
    }
}

TEST(WineOutput, AFileGetsTheBytesExactly) {
    const std::string file = beside("stdout-file");
    std::vector<std::string> argv{"sh", "-c", "exec \"$@\" >\"$0\"", file};
    for (const std::string &arg : observerArgv(KEYHOOK, {"NEXT0000K →再生 \"🎵\""}))
        argv.push_back(arg);
    ProcessResult r = runProcess(argv);
    EXPECT_EQ(parse(KEYHOOK, r.err, r.waitStatus).childExit, "exit 0");
    std::ifstream in(file, std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, "Invoked key 'NEXT0000K →再生 \"🎵\"'.\n");
    std::remove(file.c_str());
}

TEST(WineOutput, StdoutOnDevFullExitsTwoAfterThePress) {
    ObservedRun run = runObserved(KEYHOOK, {"PLAYPAUSK"}, StdoutTo::DevFull);
    ASSERT_EQ(run.observerExit, "exit 0");
    EXPECT_EQ(run.childExit, "exit 2");
    expectSinglePress(run.reports, 0xB3);

    run = runObserved(KEYHOOK, {"SHUTDOWNS"}, StdoutTo::DevFull);
    EXPECT_EQ(run.childExit, "exit 2");
    EXPECT_TRUE(run.reports.empty());

    run = runObserved(KEYHOOK, {}, StdoutTo::DevFull);
    EXPECT_EQ(run.childExit, "exit 2");
    EXPECT_TRUE(run.reports.empty());
}

/* A service's window station shows its desktops to no one: a key requested
 * there would reach no user, so a media code requests none and says so, while
 * every other code answers as anywhere. */
TEST(WineStation, AServicesStationGetsNoKeyAndALine) {
    const std::string line =
        "mediakey: cannot press: this process runs in a window station without a visible "
        "display, as services do, where a key reaches no user's desktop; run it in the user's "
        "session, such as from a scheduled task set to run only when the user is logged on\r\n";
    for (const char *code : {"VOLUP000K", "SHUTDOWNS"}) {
        ProcessResult r = runProcess({"wine", beside(KEYHOOK.exe), "--service-station",
                                      windowsPath(beside("mediakey.exe")), code});
        bool media = std::string(code) == "VOLUP000K";
        size_t at = r.err.find(line);
        EXPECT_EQ(at != std::string::npos, media) << r.err;
        if (at != std::string::npos)
            r.err.erase(at, line.size());
        ObservedRun run = parse(KEYHOOK, r.err, r.waitStatus);
        EXPECT_EQ(run.observerExit, "exit 0");
        EXPECT_EQ(r.out, media ? "" : "Key 'SHUTDOWNS' not supported.\n");
        EXPECT_EQ(run.childExit, media ? "exit 3" : "exit 1");
        EXPECT_TRUE(run.reports.empty()) << testing::PrintToString(run.reports);
    }
}

/* Windows keeps its desktop, and the key state on it, for as long as it runs;
 * Wine closes a desktop a second after the last program on it ended, which on
 * a slow machine falls between two runs.  A program on the desktop holds it
 * here: the hook observer running a prompt that says when it is up and waits
 * until its input ends. */
class DesktopHolder {
  public:
    DesktopHolder() {
        const std::string fifo = beside("desktop-holder"), said = fifo + ".out";
        std::remove(fifo.c_str());
        std::remove(said.c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return;
        std::string command = "wine '" + beside("keyhook.exe") +
                              "' 'C:\\windows\\system32\\cmd.exe' /c 'echo up& pause' <'" + fifo +
                              "' >'" + said + "' 2>/dev/null &";
        if (std::system(command.c_str()) != 0)
            return;
        for (int i = 0; i < 600 && input_ < 0; ++i)
            if ((input_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0)
                usleep(100000);
        for (int i = 0; i < 600 && input_ >= 0 && !up_; ++i) {
            std::ifstream in(said);
            std::string line;
            up_ = std::getline(in, line) && line.rfind("up", 0) == 0;
            if (!up_)
                usleep(100000);
        }
    }
    ~DesktopHolder() {
        if (input_ >= 0)
            close(input_);
    }
    DesktopHolder(const DesktopHolder &) = delete;
    DesktopHolder &operator=(const DesktopHolder &) = delete;
    bool up() const {
        return up_;
    }

  private:
    int input_ = -1;
    bool up_ = false;
};

/* The specified call presses and never releases: the key stays down for the
 * whole system after the run, and across runs.  This pins that down, so that
 * any change to it is deliberate.  A new server starts with no key down. */
TEST(WineHeldKey, StaysDownAfterTheRunAndAcrossRuns) {
    ASSERT_EQ(0, std::system("wineserver -k >/dev/null 2>&1; wineserver -w; "
                             "wineserver -p >/dev/null 2>&1"));
    DesktopHolder desktop;
    ASSERT_TRUE(desktop.up()) << "no program holds the desktop";
    /* Wine's services and the desktop's own program start again with the
     * first program, and stay: not on the pipes of a run, which would then
     * never end. */
    ASSERT_EQ(0, std::system("wine wineboot >/dev/null 2>&1"));
    ObservedRun run = runObserved(KEYHOOK, {"SHUTDOWNS"});
    ASSERT_EQ(run.observerExit, "exit 0");
    EXPECT_EQ(run.held, "");

    run = runObserved(KEYHOOK, {"VOLMUTE0K"});
    expectSinglePress(run.reports, 0xAD);
    EXPECT_EQ(run.held, " vk=0xAD");

    run = runObserved(HOTKEYS, {"SHUTDOWNS"});
    EXPECT_TRUE(run.reports.empty());
    EXPECT_EQ(run.held, " vk=0xAD");

    /* Held, it still arrives as a new key-down, and Wine still notifies. */
    run = runObserved(HOTKEYS, {"VOLMUTE0K"});
    EXPECT_EQ(run.reports, hotkeysFor(0xAD));
    EXPECT_EQ(run.held, " vk=0xAD");
}

void expectCodePageKept(const ObservedRun &run) {
    std::string before = run.codePages.substr(0, run.codePages.find(' '));
    EXPECT_NE(before, "") << "no console";
    EXPECT_EQ(run.codePages, before + " " + before) << "code page before and after";
}

/* On a console the line shows as typed, on every path out, and the console
 * keeps its own code page. */
TEST(WineConsole, ShowsTheLineAsTypedAndKeepsItsCodePage) {
    const ProgramCase cases[] = {
        {"MediaCode", {"NEXT0000K →再生ü"}, 0xB0},
        {"OtherText", {"«grüß» 再生"}, NO_KEY},
        {"NoArgument", {}, NO_KEY},
    };
    for (const ProgramCase &c : cases) {
        SCOPED_TRACE(c.name);
        ObservedRun run = runCase(KEYHOOK, c, true);
        EXPECT_EQ(run.reports.size(), c.virtualKey == NO_KEY ? 0u : 1u);
        EXPECT_NE(run.codePages.substr(0, 6), "65001 ") << "the console reads UTF-8 already";
        expectCodePageKept(run);
    }
}

/* Before Windows 8 a console in UTF-8 misreports how much was written, so
 * there the bytes go out untouched, and show garbled. */
TEST(WineConsole, BeforeWindows8TheBytesGoOutAsTheyAre) {
    setWindowsVersion("win7");
    ObservedRun run = runOnConsole(KEYHOOK, {"NEXT0000K →"});
    setWindowsVersion("win10");
    EXPECT_EQ(run.childExit, "exit 0");
    EXPECT_EQ(run.out.rfind("Invoked key 'NEXT0000K ", 0), 0u) << run.out;
    EXPECT_NE(run.out, "Invoked key 'NEXT0000K →'.\n");
    expectCodePageKept(run);
}

} // namespace
