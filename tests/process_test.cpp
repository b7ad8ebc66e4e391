/* The built program as a process on a real X server (Xvfb): exact stdout
 * bytes, the keys that a listening X client receives, stderr and the exit
 * status. */
#include "media_keys.h"
#include "program_cases.h"
#include "run_process.h"
#include "x_display.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int NOBODY = 65534;

/* An MIT-MAGIC-COOKIE-1 entry of an Xauthority file: a server compares the
 * cookie alone, a client picks the entry by family, address and number. */
struct Cookie {
    std::string family, address, number, data;
};
const std::string COOKIE = "0123456789abcdef";
const std::string WILD("\xff\xff"), LOCAL("\x01\x00", 2);

void writeCookieFile(const std::string &path, const std::vector<Cookie> &entries) {
    auto field = [](const std::string &bytes) {
        return std::string{static_cast<char>(bytes.size() >> 8), static_cast<char>(bytes.size())} +
               bytes;
    };
    std::ofstream file(path, std::ios::binary);
    for (const Cookie &e : entries)
        file << e.family << field(e.address) << field(e.number) << field("MIT-MAGIC-COOKIE-1")
             << field(e.data);
}

/* One server and listener for the suite: starting Xvfb costs a second.
 * Run as root, a second server is an ordinary user's own, as GNOME's Xorg or
 * startx's, and the program a copy that user may run, in a directory of the
 * user's to stand for its runtime directory.  That server listens on its
 * path alone, as hardened setups start theirs, and another user has taken
 * its abstract name, where libxcb would look first. */
std::unique_ptr<XServer> server, usersServer;
std::unique_ptr<KeyListener> listener, usersListener;
std::string usersDir;
int squatter = -1;

class XEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        server = std::make_unique<XServer>();
        listener = std::make_unique<KeyListener>(server->number());
        setenv("DISPLAY", (":" + server->number()).c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        if (geteuid() != 0)
            return;
        char dir[] = "/tmp/mediakey-x11.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        usersDir = dir;
        const std::string serversCookies = usersDir + "/server-auth";
        writeCookieFile(serversCookies, {{WILD, "", "", COOKIE}});
        /* A server in another mount namespace (another root's test run, a
         * service's private /tmp) may hold the abstract name of a display
         * free here, and a socket left by root keeps a server of nobody's
         * off its display.  So the display is one free here whose name this
         * suite binds first: the listener is refused there and goes on to
         * the path, and only then does the squatter listen. */
        std::string display;
        for (int i = 0; squatter == -1 && i < 64; ++i) {
            display = std::to_string(i);
            if (access(("/tmp/.X" + display + "-lock").c_str(), F_OK) != 0 &&
                access(("/tmp/.X11-unix/X" + display).c_str(), F_OK) != 0)
                squatter = bindName("@/tmp/.X11-unix/X" + display);
        }
        ASSERT_NE(squatter, -1);
        usersServer = std::make_unique<XServer>(
            std::vector<std::string>{":" + display, "-nolisten", "local", "-auth", serversCookies},
            NOBODY);
        {
            ScopedEnv auth("XAUTHORITY", serversCookies);
            usersListener = std::make_unique<KeyListener>(usersServer->number());
        }
        ASSERT_TRUE(listenOn(squatter, NOBODY - 1));
        /* The user's ~/.Xauthority as xauth leaves it: this host's name and
         * the display's number pick the cookie, not the entry before it. */
        const std::string number = usersServer->number();
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        writeCookieFile(usersDir + "/.Xauthority", {{LOCAL, host, number + "0", "fedcba9876543210"},
                                                    {LOCAL, host, number, COOKIE}});
        std::ifstream in(MEDIAKEY_PATH, std::ios::binary);
        std::ofstream(usersDir + "/mediakey", std::ios::binary) << in.rdbuf();
        ASSERT_EQ(chmod((usersDir + "/mediakey").c_str(), 0755), 0);
        for (const char *file : {"", "/.Xauthority", "/server-auth"})
            ASSERT_EQ(chown((usersDir + file).c_str(), NOBODY, NOBODY), 0);
    }
    void TearDown() override {
        listener.reset();
        server.reset();
        usersListener.reset();
        usersServer.reset();
        close(squatter);
        if (!usersDir.empty())
            std::filesystem::remove_all(usersDir);
    }
};

const testing::Environment *const xEnvironment =
    testing::AddGlobalTestEnvironment(new XEnvironment);

std::vector<std::string> keystroke(int virtualKey) {
    if (virtualKey == NO_KEY)
        return {};
    const MediaKeyRow *row = mediaKeyRowFor(virtualKey);
    return {std::string("press ") + row->keysym, std::string("release ") + row->keysym};
}

ProcessResult runMediakey(const std::vector<std::string> &args, StdoutTo stdoutTo = StdoutTo::Pipe,
                          bool ignoreSigpipe = false) {
    std::vector<std::string> argv{MEDIAKEY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, stdoutTo, ignoreSigpipe);
}

class ProgramRun : public testing::TestWithParam<ProgramCase> {};

/* In the session, and where root runs the suite again outside it, where the
 * program finds its user's own server by itself and never root's. */
TEST_P(ProgramRun, WritesExactLinePressesExactlyItsKeyAndExits) {
    const ProgramCase &c = GetParam();
    ProcessResult r = runMediakey(c.args);
    EXPECT_EQ(r.out, expectedStdout(c));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit " + std::to_string(expectedStatus(c)));
    EXPECT_EQ(listener->events(), keystroke(c.virtualKey));
    if (!usersServer)
        return;
    for (bool runtimeDir : {false, true}) {
        SCOPED_TRACE(runtimeDir ? "outside the session, with XDG_RUNTIME_DIR"
                                : "outside the session");
        r = runOutsideTheSession(usersDir + "/mediakey", NOBODY,
                                 runtimeDir ? std::optional(usersDir) : std::nullopt, c.args,
                                 usersDir);
        EXPECT_EQ(r.out, expectedStdout(c));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit " + std::to_string(expectedStatus(c)));
        EXPECT_EQ(usersListener->events(), keystroke(c.virtualKey));
        EXPECT_EQ(listener->events(), keystroke(NO_KEY));
        EXPECT_FALSE(connectionWaiting(squatter));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramRun, testing::ValuesIn(programCases()), caseName);

TEST(ProgramArgument, OverOneHundredThousandBytesIsEchoedWhole) {
    std::string tail(120000, 'x');
    ProcessResult r = runMediakey({"PREV0000K" + tail});
    EXPECT_EQ(r.out, "Invoked key 'PREV0000K" + tail + "'.\n");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0");
    EXPECT_EQ(listener->events(), keystroke(0xB1));

    r = runMediakey({tail});
    EXPECT_EQ(r.out, "Key '" + tail + "' not supported.\n");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 1");
    EXPECT_EQ(listener->events(), keystroke(NO_KEY));
}

TEST(ProgramArgument, BytesThatAreNotUtf8AreEchoedUnchanged) {
    const std::string odd = "\xff\xfe\x80\xc3(\x1b[31m\x7f";
    ProcessResult r = runMediakey({odd});
    EXPECT_EQ(r.out, "Key '" + odd + "' not supported.\n");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 1");

    r = runMediakey({"VOLMUTE0K" + odd});
    EXPECT_EQ(r.out, "Invoked key 'VOLMUTE0K" + odd + "'.\n");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0");
    EXPECT_EQ(listener->events(), keystroke(0xAD));
}

/* A line that cannot be written is a failure, never 0 or 1; a key already
 * pressed stays pressed. */
TEST(ProgramOutputFailure, StdoutOnDevFullExitsTwo) {
    for (const ProgramCase &c : programCases()) {
        SCOPED_TRACE(c.name);
        ProcessResult r = runMediakey(c.args, StdoutTo::DevFull);
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 2");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(listener->events(), keystroke(c.virtualKey));
    }
}

TEST(ProgramOutputFailure, ClosedPipeWithSigpipeIgnoredExitsTwo) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"PLAYPAUSK"}, {"SHUTDOWNS"}}) {
        ProcessResult r = runMediakey(args, StdoutTo::ClosedPipe, true);
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 2") << testing::PrintToString(args);
    }
    EXPECT_EQ(listener->events(), keystroke(0xB3));
}

/* The press ignores SIGPIPE while it talks to the X server; the program's
 * own disposition must be back before the line is written. */
TEST(ProgramOutputFailure, ClosedPipeAfterPressEndsBySigpipeAsUsual) {
    ProcessResult r = runMediakey({"STOP0000K"}, StdoutTo::ClosedPipe);
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "signal 13");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listener->events(), keystroke(0xB2));
}

bool hostHasUinput() {
    return access("/dev/uinput", F_OK) == 0 || access("/dev/input/uinput", F_OK) == 0;
}

/* Where X11 is not the way, the press would go through uinput; on a host
 * that has it, these cases would reach the host's own desktop. */
const char *const UINPUT_SKIP = "this host has uinput; the VM suite covers these cases";

TEST(CannotPress, WithoutDisplay) {
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    for (const std::optional<std::string> &display :
         {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        ScopedEnv env("DISPLAY", display);
        expectCannotPress(runMediakey({"PLAYPAUSK"}), "DISPLAY");
    }
}

TEST(CannotPress, DisplayThatDoesNotAnswer) {
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    for (const char *display : {":9999", "127.0.0.1:9999", "nonsense"}) {
        SCOPED_TRACE(display);
        ScopedEnv env("DISPLAY", display);
        expectCannotPress(runMediakey({"NEXT0000K"}), "does not answer");
    }
}

/* The static program resolves no host names: a name other than localhost is
 * a display that does not answer, and nothing is asked of the name service.
 * (A dynamically linked one would ask it, so it is not run against one.) */
TEST(CannotPress, HostNameInStaticBuild) {
    if (!PROGRAM_IS_STATIC)
        GTEST_SKIP() << "the program is linked dynamically";
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    ScopedEnv env("DISPLAY", "mediakey-test.invalid:0");
    expectCannotPress(runMediakey({"NEXT0000K"}), "does not answer");
}

/* libxcb would wait for an answer forever; the bound ends the run with the
 * one line, written to the real stderr although libxcb's is diverted then. */
TEST(CannotPress, ServerThatAcceptsButNeverAnswers) {
    XServer stopped;
    stopped.suspend();
    ScopedEnv env("DISPLAY", ":" + stopped.number());
    ProcessResult r = runMediakey({"PLAYPAUSK"});
    stopped.resume();
    expectCannotPress(r, "did not answer within 2 seconds");
}

/* Outside the session the line names the server the search found, never a
 * variable the caller did not set: one that never answers, and one that
 * refuses a run whose home holds no cookie. */
TEST(CannotPress, ServerTheSearchFoundSaysSo) {
    if (!usersServer)
        GTEST_SKIP() << "needs root, to run the program as the server's user";
    const std::string display = "the X display :" + usersServer->number() +
                                " that the search found at /tmp/.X11-unix/X" +
                                usersServer->number();
    const struct {
        bool suspended;
        std::string home, err;
    } rows[] = {
        {true, usersDir,
         display + " did not answer within 2 seconds; check that its X server is running"},
        {false, "/nonexistent",
         display + " refused the connection (check its cookie in /nonexistent/.Xauthority), and " +
             "/dev/uinput is missing; load the uinput module (modprobe uinput)"},
    };
    for (const auto &row : rows) {
        if (!row.suspended && hostHasUinput())
            continue;
        if (row.suspended)
            usersServer->suspend();
        ProcessResult r =
            runOutsideTheSession(usersDir + "/mediakey", NOBODY, usersDir, {"PLAYPAUSK"}, row.home);
        usersServer->resume();
        EXPECT_EQ(r.err, "mediakey: cannot press: " + row.err + "\n");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 3");
        EXPECT_EQ(usersListener->events(), keystroke(NO_KEY));
        EXPECT_FALSE(connectionWaiting(squatter));
    }
}

TEST(CannotPress, WaylandSessionNeverUsesX11) {
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    ScopedEnv env("WAYLAND_DISPLAY", "wayland-0");
    expectCannotPress(runMediakey({"PLAYPAUSK"}));
    EXPECT_EQ(listener->events(), keystroke(NO_KEY));
}

TEST(CannotPress, ServerWithoutXtest) {
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    XServer plain({"-extension", "XTEST"});
    ScopedEnv env("DISPLAY", ":" + plain.number());
    expectCannotPress(runMediakey({"PLAYPAUSK"}), "XTEST");
}

TEST(CannotPress, KeymapWithoutTheKeysym) {
    listener->unmap("XF86AudioMute");
    ProcessResult r = runMediakey({"VOLMUTE0K"});
    listener->remap();
    expectCannotPress(r, "XF86AudioMute");
    EXPECT_EQ(listener->events(), keystroke(NO_KEY));

    r = runMediakey({"VOLMUTE0K"});
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0");
    EXPECT_EQ(listener->events(), keystroke(0xAD));
}

TEST(CannotPress, StillThreeWhenStdoutIsFull) {
    ScopedEnv env("DISPLAY", ":9999");
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    ProcessResult r = runMediakey({"PLAYPAUSK"}, StdoutTo::DevFull);
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 3");
}

/* Codes that press nothing never need a display. */
TEST(WithoutDisplay, UnsupportedCodesAndReminderAnswerAsEver) {
    ScopedEnv display("DISPLAY", std::nullopt);
    for (const ProgramCase &c : programCases()) {
        if (c.virtualKey != NO_KEY)
            continue;
        SCOPED_TRACE(c.name);
        ProcessResult r = runMediakey(c.args);
        EXPECT_EQ(r.out, expectedStdout(c));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit " + std::to_string(expectedStatus(c)));
    }
}

/* A desktop's server admits only clients with its cookie; libxcb reads it
 * from XAUTHORITY and, when refused, would print the server's reason to
 * stderr itself. */
TEST(XAuthorization, TheCookieAdmitsAndItsAbsenceIsARefusal) {
    std::string cookies = testing::TempDir() + "mediakey-test-xauthority";
    writeCookieFile(cookies, {{WILD, "", "", COOKIE}});
    XServer secured({"-auth", cookies});
    ScopedEnv display("DISPLAY", ":" + secured.number());
    {
        ScopedEnv auth("XAUTHORITY", cookies);
        KeyListener securedListener(secured.number());
        ProcessResult r = runMediakey({"PLAYPAUSK"});
        EXPECT_EQ(r.out, "Invoked key 'PLAYPAUSK'.\n");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0") << r.err;
        EXPECT_EQ(securedListener.events(), keystroke(0xB3));
    }
    if (hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    ScopedEnv auth("XAUTHORITY", "/nonexistent");
    expectCannotPress(runMediakey({"PLAYPAUSK"}), "refused the connection");
}

/* ssh forwards X as a TCP display on the loopback, DISPLAY=localhost:10.0,
 * which every build reaches without the system's name service. */
TEST(TcpDisplay, LocalhostAndNumericAddressesPress) {
    XServer tcp({"-listen", "tcp"});
    KeyListener tcpListener(tcp.number());
    for (const char *host : {"localhost", "127.0.0.1", "[::1]"}) {
        SCOPED_TRACE(host);
        ScopedEnv env("DISPLAY", std::string(host) + ":" + tcp.number() + ".0");
        ProcessResult r = runMediakey({"VOLUP000K"});
        EXPECT_EQ(r.out, "Invoked key 'VOLUP000K'.\n");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0") << r.err;
        EXPECT_EQ(tcpListener.events(), keystroke(0xAF));
    }
    EXPECT_EQ(listener->events(), keystroke(NO_KEY));
}

/* A root where the system's name service does not know localhost, as a
 * minimal debootstrap root without /etc/hosts: the program runs in its own
 * mount namespace with these as /etc/hosts and /etc/nsswitch.conf. */
ProcessResult runWithNameService(const std::string &hosts, const std::vector<std::string> &args) {
    const std::string dir = testing::TempDir() + "mediakey-names";
    const std::string files[][2] = {{dir + "/hosts", hosts},
                                    {dir + "/nsswitch.conf", "hosts: files\n"}};
    mkdir(dir.c_str(), 0755);
    for (const auto &file : files)
        std::ofstream(file[0]) << file[1];
    const char *script = "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" "
                         "/etc/nsswitch.conf && shift 2 && exec \"$@\"";
    std::vector<std::string> argv{"unshare", "--mount"};
    if (getuid() != 0)
        argv.push_back("--map-root-user");
    argv.insert(argv.end(), {"sh", "-c", script, "sh", files[0][0], files[1][0]});
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
}

/* localhost is the loopback whatever the name service says; other names are
 * the name service's in a dynamically linked program, and unknown to a
 * static one. */
TEST(TcpDisplay, LocalhostNeedsNoNameServiceOtherNamesAskIt) {
    XServer tcp({"-listen", "tcp"});
    KeyListener tcpListener(tcp.number());
    const std::string hosts = "127.0.0.1 mediakey-loopback.test\n";
    ProcessResult r =
        runWithNameService(hosts, {"sh", "-c", "getent hosts localhost || echo unknown"});
    if (!r.err.empty())
        GTEST_SKIP() << "no mount namespace here: " << r.err;
    ASSERT_EQ(r.out, "unknown\n") << "the name service still knows localhost";

    ScopedEnv local("DISPLAY", "localhost:" + tcp.number() + ".0");
    r = runWithNameService(hosts, {MEDIAKEY_PATH, "VOLUP000K"});
    EXPECT_EQ(r.out, "Invoked key 'VOLUP000K'.\n");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0") << r.err;
    EXPECT_EQ(tcpListener.events(), keystroke(0xAF));

    if (PROGRAM_IS_STATIC && hostHasUinput())
        GTEST_SKIP() << UINPUT_SKIP;
    ScopedEnv named("DISPLAY", "mediakey-loopback.test:" + tcp.number() + ".0");
    r = runWithNameService(hosts, {MEDIAKEY_PATH, "VOLDOWN0K"});
    if (PROGRAM_IS_STATIC) {
        expectCannotPress(r, "does not answer");
        EXPECT_EQ(tcpListener.events(), keystroke(NO_KEY));
    } else {
        EXPECT_EQ(r.out, "Invoked key 'VOLDOWN0K'.\n");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 0") << r.err;
        EXPECT_EQ(tcpListener.events(), keystroke(0xAE));
    }
}

/* A real hotkey daemon: xbindkeys grabs each media keysym on its own display,
 * as a desktop's media-key handler does, and runs its command once per
 * press.  Every media code, a code with a tail and a code that presses
 * nothing go in; exactly the media codes' commands run, once each. */
TEST(HotkeyDaemon, XbindkeysRunsEachBindingOnce) {
    XServer desktop;
    ScopedEnv display("DISPLAY", ":" + desktop.number());
    char dir[] = "/tmp/mediakey-xbindkeys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fired = std::string(dir) + "/fired";
    std::string rc = std::string(dir) + "/xbindkeysrc";
    {
        std::ofstream config(rc);
        for (const MediaKeyRow &row : mediaKeyRows)
            config << "\"echo " << row.keysym << " >>" << fired << "\"\n  " << row.keysym << "\n";
    }
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    /* Verbose, it says when its grabs are made and its loop begins. */
    pid_t daemon = spawn({"stdbuf", "-oL", "xbindkeys", "-n", "-v", "-f", rc}, -1, out[1]);
    close(out[1]);
    std::string buffered, line;
    while (line != "starting loop..." && readLineFrom(out[0], buffered, line, TOOL_TIMEOUT_MS)) {
    }
    ASSERT_EQ(line, "starting loop...");

    struct Press {
        const char *code;
        const char *fires;
    };
    std::vector<Press> presses;
    for (const MediaKeyRow &row : mediaKeyRows)
        presses.push_back({row.code, row.keysym});
    presses.push_back({"VOLUP000Kxyz", "XF86AudioRaiseVolume"});
    presses.push_back({"SHUTDOWNS", nullptr});
    std::vector<std::string> expected;
    for (const Press &press : presses) {
        ProcessResult r = runMediakey({press.code});
        EXPECT_EQ(describeWaitStatus(r.waitStatus), press.fires ? "exit 0" : "exit 1") << r.err;
        if (press.fires)
            expected.push_back(press.fires);
        EXPECT_EQ(fileLines(fired, expected.size()), expected) << press.code;
    }
    /* A command run twice would show by now. */
    usleep(300000);
    EXPECT_EQ(fileLines(fired, 0), expected);
    close(out[0]);
    stop(daemon);
    unlink(fired.c_str());
    unlink(rc.c_str());
    rmdir(dir);
}

} // namespace
