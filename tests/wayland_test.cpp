/* The built program as a process under Wayland, run as an ordinary user:
 * pressing through a real compositor's virtual keyboard (sway or labwc
 * headless, whose key bindings report what fired, or wev focused where there
 * are none), the
 * ways around it, and what it sends, as a test-only compositor records it. */
#include "fake_mutter.h"
#include "line_child.h"
#include "media_keys.h"
#include "program_cases.h"
#include "run_process.h"
#include "wayland_session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

/* One compositor for the suite: it compiles its keymaps at start. */
std::unique_ptr<Session> compositorSession;
std::unique_ptr<Compositor> compositor;

/* Where root runs the suite, the session's user gets /run/user/UID, as
 * logind makes it, which leads to the session's directory. */
std::string usersRuntimeDir;

class CompositorEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        unsetenv("DISPLAY");
        compositorSession = std::make_unique<Session>();
        compositor = std::make_unique<Compositor>(*compositorSession);
        if (sessionUser() == -1)
            return;
        std::string dir = "/run/user/" + std::to_string(sessionUser());
        mkdir("/run/user", 0755);
        if (symlink(compositorSession->dir().c_str(), dir.c_str()) == 0)
            usersRuntimeDir = dir;
    }
    void TearDown() override {
        if (!usersRuntimeDir.empty())
            unlink(usersRuntimeDir.c_str());
        compositor.reset();
        compositorSession.reset();
    }
};

const testing::Environment *const compositorEnvironment =
    testing::AddGlobalTestEnvironment(new CompositorEnvironment);

struct TimedRun {
    ProcessResult result;
    double seconds;
};

/* Runs the session's program as its user with WAYLAND_DISPLAY=display, in
 * the session's XDG_RUNTIME_DIR unless told otherwise. */
TimedRun runMediakey(const Session &session, const std::string &display,
                     const std::vector<std::string> &args,
                     std::optional<std::string> runtimeDir = "") {
    ScopedEnv wayland("WAYLAND_DISPLAY", display);
    ScopedEnv runtime("XDG_RUNTIME_DIR",
                      runtimeDir && runtimeDir->empty() ? session.dir() : runtimeDir);
    std::vector<std::string> argv{session.program()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = std::chrono::steady_clock::now();
    ProcessResult r = runProcess(argv, StdoutTo::Pipe, false, sessionUser());
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {r, took.count()};
}

std::vector<std::string> keysyms(int virtualKey) {
    if (virtualKey == NO_KEY)
        return {};
    return {mediaKeyRowFor(virtualKey)->keysym};
}

class ProgramRun : public testing::TestWithParam<ProgramCase> {};

/* In the session, and again started outside it by the session's user, where
 * the program finds the desktop by itself. */
TEST_P(ProgramRun, WritesExactLineAndFiresExactlyItsBinding) {
    const ProgramCase &c = GetParam();
    TimedRun run = runMediakey(*compositorSession, compositor->display(), c.args);
    EXPECT_EQ(run.result.out, expectedStdout(c));
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus),
              "exit " + std::to_string(expectedStatus(c)));
    EXPECT_EQ(compositor->fired(keysyms(c.virtualKey).size()), keysyms(c.virtualKey));
    for (bool runtimeDir : {true, false}) {
        if (!runtimeDir && usersRuntimeDir.empty())
            continue;
        SCOPED_TRACE(runtimeDir ? "outside the session, with XDG_RUNTIME_DIR"
                                : "outside the session");
        ProcessResult r = runOutsideTheSession(
            compositorSession->program(), sessionUser() == -1 ? int(getuid()) : sessionUser(),
            runtimeDir ? std::optional(compositorSession->dir()) : std::nullopt, c.args);
        EXPECT_EQ(r.out, expectedStdout(c));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit " + std::to_string(expectedStatus(c)));
        EXPECT_EQ(compositor->fired(keysyms(c.virtualKey).size()), keysyms(c.virtualKey));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramRun, testing::ValuesIn(programCases()), caseName);

/* Without XDG_RUNTIME_DIR, as a program started outside the session may be;
 * mutter's session is then found on the bus that its variable names. */
TEST(Compositor, SocketNamedByAbsolutePathPresses) {
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + compositorSession->dir() + "/bus");
    TimedRun run =
        runMediakey(*compositorSession, compositorSession->dir() + "/" + compositor->display(),
                    {"VOLDOWN0K"}, std::nullopt);
    EXPECT_EQ(run.result.out, "Invoked key 'VOLDOWN0K'.\n");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_EQ(compositor->fired(1), keysyms(0xAE));
}

TEST(Compositor, FiftyRunsInARowEachFireTheirBindingOnce) {
    std::vector<std::string> expected;
    for (size_t i = 0; i < 50; ++i) {
        const MediaKeyRow &row = mediaKeyRows[i % std::size(mediaKeyRows)];
        EXPECT_EQ(runMediakey(*compositorSession, compositor->display(), {row.code}).result.out,
                  "Invoked key '" + std::string(row.code) + "'.\n");
        expected.push_back(row.keysym);
    }
    /* Where each binding's command is a process of its own, two that start
     * milliseconds apart may write in either order on a loaded machine: the
     * count of each key is what the runs promise. */
    std::vector<std::string> fired = compositor->fired(expected.size());
    std::sort(fired.begin(), fired.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(fired, expected);
}

/* KWin lists its fake input only to a program an application file names: a
 * copy elsewhere gets nothing from it and, with no other way here, claims
 * nothing. */
TEST(Compositor, ProgramNoApplicationFileNamesClaimsNothing) {
    if (!compositor->admitsNamedProgramsOnly())
        GTEST_SKIP() << "this compositor admits every program";
    std::string unlisted = compositorSession->dir() + "/unlisted";
    ASSERT_EQ(mkdir(unlisted.c_str(), 0755), 0);
    ASSERT_EQ(link(compositorSession->program().c_str(), (unlisted + "/mediakey").c_str()), 0);
    ScopedEnv wayland("WAYLAND_DISPLAY", compositor->display());
    ScopedEnv runtime("XDG_RUNTIME_DIR", compositorSession->dir());
    ProcessResult r =
        runProcess({unlisted + "/mediakey", "PLAYPAUSK"}, StdoutTo::Pipe, false, sessionUser());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 3") << r.err;
    EXPECT_EQ(r.err.rfind("mediakey: cannot press: KWin offers its fake input only to programs "
                          "that a .desktop file names, and ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(compositor->fired(), std::vector<std::string>{});
}

/* Runs the program for ten media codes at once, each of which must report
 * its press, and returns their keysyms, sorted. */
std::vector<std::string> pressTenAtOnce(const Session &session, const std::string &display) {
    ScopedEnv wayland("WAYLAND_DISPLAY", display);
    ScopedEnv runtime("XDG_RUNTIME_DIR", session.dir());
    std::vector<ProcessResult> results(10);
    std::vector<std::thread> threads;
    std::vector<std::string> keysyms;
    for (size_t i = 0; i < results.size(); ++i) {
        const MediaKeyRow &row = mediaKeyRows[i % std::size(mediaKeyRows)];
        keysyms.push_back(row.keysym);
        threads.emplace_back([&results, &row, &session, i] {
            results[i] =
                runProcess({session.program(), row.code}, StdoutTo::Pipe, false, sessionUser());
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(describeWaitStatus(results[i].waitStatus), "exit 0") << results[i].err;
        EXPECT_EQ(results[i].out, "Invoked key '" +
                                      std::string(mediaKeyRows[i % std::size(mediaKeyRows)].code) +
                                      "'.\n");
    }
    std::sort(keysyms.begin(), keysyms.end());
    return keysyms;
}

/* Another user, outside any session of its own, never reaches this one's
 * desktop: it finds nothing in its own runtime directory and says so. */
TEST(Compositor, AnotherUserOutsideTheSessionPressesNothingThere) {
    if (sessionUser() == -1)
        GTEST_SKIP() << "needs root, to run the program as a second user";
    const int other = sessionUser() - 1;
    char dir[] = "/tmp/mediakey-other.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 0755), 0);
    std::string program = std::string(dir) + "/mediakey";
    ASSERT_EQ(link(compositorSession->program().c_str(), program.c_str()), 0);
    ProcessResult r = runOutsideTheSession(program, other, std::nullopt, {"VOLUP000K"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("mediakey: cannot press: no Wayland or X11 display of this user in "
                          "/run/user/" +
                              std::to_string(other) + ", and ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 3");
    EXPECT_EQ(compositor->fired(), std::vector<std::string>{});
    unlink(program.c_str());
    rmdir(dir);
}

TEST(Compositor, TenRunsAtOnceEachFireTheirBindingOnce) {
    std::vector<std::string> expected = pressTenAtOnce(*compositorSession, compositor->display());
    std::vector<std::string> fired = compositor->fired(expected.size());
    std::sort(fired.begin(), fired.end());
    EXPECT_EQ(fired, expected);
}

/* wev focused on a compositor that binds no key, as a player that handles
 * the media keys itself, and no keyboard on the seat but the program's: each
 * press must reach it once, its key-down and then its key-up.  wev outlives
 * its compositor, busy, unless it is ended. */
class FocusedClient : public testing::Test {
  protected:
    void SetUp() override {
        wev = session.start(
            {"stdbuf", "-oL", "wev", "-f", "wl_keyboard:key", "-f", "xdg_toplevel:configure"},
            {"WAYLAND_DISPLAY=" + compositor.display()}, "wev.log");
        for (int i = 0; i < 400 && !compositor.focus("wev"); ++i)
            usleep(50000);
        for (int i = 0; i < 400 && !activated(); ++i)
            usleep(50000);
    }
    void TearDown() override {
        kill(wev, SIGTERM);
        waitpid(wev, nullptr, 0);
    }
    bool activated() {
        for (const std::string &line : fileLines(session.dir() + "/wev.log", 0))
            if (line.find("activated") != std::string::npos)
                return true;
        return false;
    }
    /* wev's two lines of each key: "key: ... state: 1 (pressed)" and
     * "sym: KEYSYM ...". */
    std::vector<std::string> keyLines() {
        std::vector<std::string> lines = fileLines(session.dir() + "/wev.log", 0), keys;
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            if (lines[i].find("] key:") != std::string::npos)
                keys.insert(keys.end(), {lines[i], lines[i + 1]});
        return keys;
    }
    /* Each two keys wev printed, as "down KEYSYM, up KEYSYM". */
    std::vector<std::string> presses(size_t count) {
        std::vector<std::string> lines, seen;
        for (int waited = 0; (lines = keyLines()).size() < 4 * count && waited < TOOL_TIMEOUT_MS;
             waited += 10)
            usleep(10000);
        EXPECT_EQ(lines.size(), 4 * count);
        for (size_t i = 0; i + 1 < lines.size(); i += 2) {
            std::string label, keysym;
            std::istringstream(lines[i + 1]) >> label >> keysym;
            std::string key = (lines[i].find("(pressed)") == std::string::npos ? "up " : "down ");
            if (i % 4 == 0)
                seen.push_back(key + keysym);
            else
                seen.back() += ", " + key + keysym;
        }
        return seen;
    }
    Session session;
    Compositor compositor{session, false};
    pid_t wev;
};

std::string downThenUp(const std::string &keysym) {
    return "down " + keysym + ", up " + keysym;
}

TEST_F(FocusedClient, FiftyRunsInARowEachArriveOnce) {
    std::vector<std::string> expected;
    for (size_t i = 0; i < 50; ++i) {
        const MediaKeyRow &row = mediaKeyRows[i % std::size(mediaKeyRows)];
        EXPECT_EQ(runMediakey(session, compositor.display(), {row.code}).result.out,
                  "Invoked key '" + std::string(row.code) + "'.\n");
        expected.push_back(downThenUp(row.keysym));
    }
    EXPECT_EQ(presses(expected.size()), expected);
}

TEST_F(FocusedClient, TenRunsAtOnceEachArriveOnce) {
    std::vector<std::string> expected = pressTenAtOnce(session, compositor.display());
    std::vector<std::string> seen = presses(expected.size());
    std::transform(expected.begin(), expected.end(), expected.begin(), downThenUp);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
}

/* What the program sends, in order: the keyboard and its keymap confirmed
 * before any key (sway ends a client that sends a key without a keymap),
 * then the key-down before the key-up, confirmed, then the keyboard goes.
 * sway releases a vanished keyboard's keys itself, so only a recording
 * shows a missing key-up. */
/* Each request by its name, a key's with its code and whether it went down
 * or up: the last two arguments of either way's key request. */
std::vector<std::string> named(const std::vector<Request> &sent) {
    std::vector<std::string> names;
    for (const Request &r : sent) {
        names.push_back(r.name);
        if ((r.name == "zwp_virtual_keyboard_v1.key" && r.args.size() == 3) ||
            (r.name == "org_kde_kwin_fake_input.keyboard_key" && r.args.size() == 2))
            names.back() +=
                " " + std::to_string(r.args.end()[-2]) + (r.args.back() ? " down" : " up");
    }
    return names;
}

TEST(WhatItSends, KeymapThenKeyDownThenKeyUpEachConfirmed) {
    for (const MediaKeyRow &row : mediaKeyRows) {
        SCOPED_TRACE(row.code);
        Session session;
        FakeCompositor fake(session, {});
        TimedRun run = runMediakey(session, fake.display(), {row.code});
        EXPECT_EQ(run.result.out, "Invoked key '" + std::string(row.code) + "'.\n");
        EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;

        std::vector<Request> sent = fake.requests();
        std::vector<std::string> names = named(sent);
        std::string code = std::to_string(row.evdevCode);
        EXPECT_EQ(names, (std::vector<std::string>{
                             "wl_display.get_registry",
                             "wl_display.sync",
                             "wl_registry.bind wl_seat",
                             "wl_registry.bind zwp_virtual_keyboard_manager_v1",
                             "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard",
                             "zwp_virtual_keyboard_v1.keymap",
                             "wl_display.sync",
                             "zwp_virtual_keyboard_v1.key " + code + " down",
                             "zwp_virtual_keyboard_v1.key " + code + " up",
                             "wl_display.sync",
                             "zwp_virtual_keyboard_v1.destroy",
                         }));
        if (names.size() != 11)
            continue;
        /* The keyboard is on the seat just bound; both keys on one clock. */
        EXPECT_EQ(sent[4].args[0], sent[2].args.back());
        EXPECT_LE(sent[7].args[0], sent[8].args[0]);
        EXPECT_LE(sent[8].args[0] - sent[7].args[0], 1000u);

        const Request &keymap = sent[5];
        EXPECT_EQ(keymap.args[0], 1u) << "XKB text format";
        int seals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
        EXPECT_EQ(keymap.seals & seals, seals);
        EXPECT_EQ(keymap.keymap.find('\0'), keymap.keymap.size() - 1) << "ends in its NUL";
        EXPECT_NE(keymap.keymap.find("= " + std::to_string(row.evdevCode + 8) + ";"),
                  std::string::npos)
            << keymap.keymap;
        EXPECT_NE(keymap.keymap.find(std::string("[ ") + row.keysym + " ]"), std::string::npos);
        EXPECT_EQ(keymap.keymap.find("include"), std::string::npos);
    }
}

/* KWin's fake input where the compositor offers no manager, and only there:
 * the device bound at the version that has keys and confirmed, then the
 * key-down before the key-up, confirmed.  A compositor that refuses the
 * device gets no key, and the run claims nothing. */
TEST(WhatItSends, FakeInputConfirmedThenKeyDownThenKeyUpConfirmed) {
    for (const MediaKeyRow &row : mediaKeyRows) {
        SCOPED_TRACE(row.code);
        Session session;
        FakeCompositor fake(session, {}, false, true);
        TimedRun run = runMediakey(session, fake.display(), {row.code});
        EXPECT_EQ(run.result.out, "Invoked key '" + std::string(row.code) + "'.\n");
        std::vector<Request> sent = fake.requests();
        std::vector<std::string> names = named(sent);
        std::string code = std::to_string(row.evdevCode);
        EXPECT_EQ(names, (std::vector<std::string>{
                             "wl_display.get_registry",
                             "wl_display.sync",
                             "wl_registry.bind org_kde_kwin_fake_input",
                             "org_kde_kwin_fake_input.authenticate",
                             "wl_display.sync",
                             "org_kde_kwin_fake_input.keyboard_key " + code + " down",
                             "org_kde_kwin_fake_input.keyboard_key " + code + " up",
                             "wl_display.sync",
                         }));
        if (names.size() == 8) {
            EXPECT_EQ(sent[2].args.end()[-2], 4u) << "bound at the version that has keys";
        }
    }
    Session session;
    FakeCompositor refusing(session, {Answer::Done, Answer::Error}, false, true);
    TimedRun run = runMediakey(session, refusing.display(), {"PLAYPAUSK"});
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 3");
    for (const Request &r : refusing.requests())
        EXPECT_NE(r.name, "org_kde_kwin_fake_input.keyboard_key");
}

bool hostHasUinput() {
    return access("/dev/uinput", F_OK) == 0 || access("/dev/input/uinput", F_OK) == 0;
}

const char UINPUT_MISSING[] = "/dev/uinput is missing; load the uinput module (modprobe uinput)";

std::string cannotPress(const std::string &why) {
    return "mediakey: cannot press: " + why + "\n";
}

/* Refusals before any key went out: uinput is the way then, and where it is
 * missing too, the line starts with why Wayland was not.  After a key went
 * out: the press may be half done, and the run ends. */
struct ScriptCase {
    const char *name;
    std::vector<Answer> answers;
    bool offerManager;
    std::string err;
};

void PrintTo(const ScriptCase &c, std::ostream *os) {
    *os << c.name;
}

const std::string REFUSED = "the Wayland compositor refused a virtual keyboard, and ";
const std::string FAILED = "the Wayland compositor refused the key press or closed the connection";
const std::string NO_ANSWER = "the Wayland display in WAYLAND_DISPLAY did not answer within 2 "
                              "seconds; check that its compositor is running";

const ScriptCase scriptCases[] = {
    {"NoVirtualKeyboard",
     {},
     false,
     "the Wayland compositor offers no virtual keyboard, and " + std::string(UINPUT_MISSING)},
    {"ErrorAtFirstRoundTrip", {Answer::Error}, true, REFUSED + UINPUT_MISSING},
    {"UnauthorizedKeyboard", {Answer::Done, Answer::Error}, true, REFUSED + UINPUT_MISSING},
    {"ClosedBeforeKeys", {Answer::Done, Answer::Close}, true, REFUSED + UINPUT_MISSING},
    {"MalformedBeforeKeys", {Answer::Done, Answer::Garbage}, true, REFUSED + UINPUT_MISSING},
    {"ErrorAfterKeys", {Answer::Done, Answer::Done, Answer::Error}, true, FAILED},
    {"ClosedAfterKeys", {Answer::Done, Answer::Done, Answer::Close}, true, FAILED},
    {"MalformedAfterKeys", {Answer::Done, Answer::Done, Answer::Garbage}, true, FAILED},
    {"SilentAfterKeys", {Answer::Done, Answer::Done, Answer::Silence}, true, NO_ANSWER},
    {"SilentFromTheStart", {Answer::Silence}, true, NO_ANSWER},
};

class Script : public testing::TestWithParam<ScriptCase> {};

TEST_P(Script, EndsInOneLineAndStatusThreeWithinTheBound) {
    const ScriptCase &c = GetParam();
    bool fallsBack = c.err != FAILED && c.err != NO_ANSWER;
    if (fallsBack && hostHasUinput())
        GTEST_SKIP() << "this host has uinput; the VM suite covers going on to it";
    Session session;
    FakeCompositor fake(session, c.answers, c.offerManager);
    TimedRun run = runMediakey(session, fake.display(), {"PLAYPAUSK"});
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, cannotPress(c.err));
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 3");
    EXPECT_LT(run.seconds, 3.0);
    size_t keys = 0;
    for (const Request &r : fake.requests())
        keys += r.name == "zwp_virtual_keyboard_v1.key";
    EXPECT_EQ(keys, c.answers.size() == 3 ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Script, testing::ValuesIn(scriptCases),
                         [](const testing::TestParamInfo<ScriptCase> &p) { return p.param.name; });

/* mutter's session where the compositor offers no way of its own: what the
 * program asks of mutter, in order, and what each refusal or silence before
 * the key-down and after it ends in.  Before it, uinput's line follows. */
struct MutterCase {
    const char *name;
    std::vector<MutterAnswer> answers;
    std::vector<std::string> calls;
    std::string err;
};

void PrintTo(const MutterCase &c, std::ostream *os) {
    *os << c.name;
}

const std::string MUTTER_REFUSED =
    "mutter refused a remote-desktop session on the session bus, and ";
const std::string MUTTER_SILENT =
    "the session bus or mutter on it did not answer within 2 seconds, and ";
const std::vector<std::string> WHOLE_PRESS{"CreateSession", "Start",
                                           "NotifyKeyboardKeycode 164 down",
                                           "NotifyKeyboardKeycode 164 up", "Stop"};

const MutterCase mutterCases[] = {
    {"Pressed", {}, WHOLE_PRESS, ""},
    {"RefusedSession", {MutterAnswer::Error}, {"CreateSession"}, MUTTER_REFUSED + UINPUT_MISSING},
    {"RefusedKeyDown",
     {MutterAnswer::Reply, MutterAnswer::Reply, MutterAnswer::Error},
     {"CreateSession", "Start", "NotifyKeyboardKeycode 164 down"},
     MUTTER_REFUSED + UINPUT_MISSING},
    {"SilentAtStart",
     {MutterAnswer::Reply, MutterAnswer::Silence},
     {"CreateSession", "Start"},
     MUTTER_SILENT + UINPUT_MISSING},
    {"RefusedKeyUp",
     {MutterAnswer::Reply, MutterAnswer::Reply, MutterAnswer::Reply, MutterAnswer::Error},
     {"CreateSession", "Start", "NotifyKeyboardKeycode 164 down", "NotifyKeyboardKeycode 164 up"},
     "mutter refused the key press or the session bus closed the connection"},
    {"SilentAfterKeyDown",
     {MutterAnswer::Reply, MutterAnswer::Reply, MutterAnswer::Silence},
     {"CreateSession", "Start", "NotifyKeyboardKeycode 164 down"},
     "mutter did not answer on the session bus within 2 seconds; check that GNOME is running"},
};

class Mutter : public testing::TestWithParam<MutterCase> {};

TEST_P(Mutter, AsksInOrderAndEndsAsItsAnswersSay) {
    const MutterCase &c = GetParam();
    if (c.err.find(UINPUT_MISSING) != std::string::npos && hostHasUinput())
        GTEST_SKIP() << "this host has uinput; the VM suite covers going on to it";
    Session session;
    FakeMutter mutter(session, c.answers);
    FakeCompositor neither(session, {}, false);
    TimedRun run = runMediakey(session, neither.display(), {"PLAYPAUSK"});
    EXPECT_EQ(run.result.out, c.err.empty() ? "Invoked key 'PLAYPAUSK'.\n" : "");
    EXPECT_EQ(run.result.err, c.err.empty() ? "" : cannotPress(c.err));
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), c.err.empty() ? "exit 0" : "exit 3");
    EXPECT_LT(run.seconds, 3.0);
    EXPECT_EQ(mutter.calls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(Cases, Mutter, testing::ValuesIn(mutterCases),
                         [](const testing::TestParamInfo<MutterCase> &p) { return p.param.name; });

/* A compositor without the manager, as weston and the desktops that keep
 * virtual keyboards to themselves are, and a session bus without mutter:
 * no GNOME, so its absence goes unsaid. */
TEST(Around, WestonOffersNoVirtualKeyboardAndTheBusNoMutter) {
    if (hostHasUinput())
        GTEST_SKIP() << "this host has uinput; the VM suite covers going on to it";
    Session session;
    Weston weston(session);
    pid_t bus = session.start(
        {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + session.dir() + "/bus"},
        {}, "bus.log");
    for (int i = 0; i < 400 && access((session.dir() + "/bus").c_str(), F_OK) != 0; ++i)
        usleep(10000);
    TimedRun run = runMediakey(session, weston.display(), {"PLAYPAUSK"});
    kill(bus, SIGTERM);
    waitpid(bus, nullptr, 0);
    EXPECT_EQ(run.result.err,
              cannotPress("the Wayland compositor offers no virtual keyboard, and " +
                          std::string(UINPUT_MISSING)));
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 3");
}

TEST(Around, NothingListeningOrNoRuntimeDirectory) {
    if (hostHasUinput())
        GTEST_SKIP() << "this host has uinput; the VM suite covers going on to it";
    std::string line = cannotPress("the Wayland display in WAYLAND_DISPLAY does not answer, and " +
                                   std::string(UINPUT_MISSING));
    Session session;
    EXPECT_EQ(runMediakey(session, "wayland-none", {"PLAYPAUSK"}).result.err, line);
    EXPECT_EQ(runMediakey(session, "wayland-0", {"PLAYPAUSK"}, std::nullopt).result.err, line);
    EXPECT_EQ(runMediakey(session, std::string(200, 'w'), {"PLAYPAUSK"}).result.err, line);
}

/* A compositor that stopped: the kernel accepts the connection, nothing
 * answers it. */
TEST(Around, ListenerThatNeverAcceptsEndsWithinTheBound) {
    Session session;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/wayland-stopped",
             session.dir().c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(chmod(address.sun_path, 0777), 0);
    TimedRun run = runMediakey(session, "wayland-stopped", {"NEXT0000K"});
    close(listener);
    EXPECT_EQ(run.result.err, cannotPress(NO_ANSWER));
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 3");
    EXPECT_GE(run.seconds, 1.9);
    EXPECT_LT(run.seconds, 3.0);
}

/* What the connections that wait at listener sent before they closed: the
 * search's look at a socket's listener sends nothing. */
std::string sentTo(int listener) {
    std::string sent;
    while (connectionWaiting(listener)) {
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        char buffer[512];
        for (ssize_t n; c >= 0 && (n = read(c, buffer, sizeof buffer)) > 0;)
            sent.append(buffer, static_cast<size_t>(n));
        close(c);
    }
    return sent;
}

/* A socket the search finds in the runtime directory counts only where its
 * listener is the user's own, whoever owns its name, and so does the bus
 * the user's service manager is asked on; the line of one that never
 * answers names it and where it was found. */
TEST(Around, SocketTheSearchFindsIsTheUsersByItsListener) {
    if (sessionUser() == -1)
        GTEST_SKIP() << "needs root, to listen as the session's user and as another";
    if (hostHasUinput())
        GTEST_SKIP() << "this host has uinput; the VM suite covers going on to it";
    Session session;
    const std::string name = "wayland-stopped", path = session.dir() + "/" + name;
    for (int listener : {sessionUser(), sessionUser() - 1}) {
        SCOPED_TRACE(listener);
        int fd = listenAs(path, listener, sessionUser());
        ASSERT_NE(fd, -1);
        const std::string busPath = session.dir() + "/bus";
        int bus = listener != sessionUser() ? listenAs(busPath, listener, sessionUser()) : -1;
        ProcessResult r =
            runOutsideTheSession(session.program(), sessionUser(), session.dir(), {"NEXT0000K"});
        if (listener != sessionUser()) {
            EXPECT_EQ(sentTo(fd), "");
            EXPECT_EQ(sentTo(bus), "");
        }
        close(fd);
        close(bus);
        unlink(path.c_str());
        unlink(busPath.c_str());
        EXPECT_EQ(r.err, listener == sessionUser()
                             ? cannotPress("the Wayland display " + name +
                                           " that the search found in " + session.dir() +
                                           " did not answer within 2 seconds; check that its "
                                           "compositor is running")
                             : cannotPress("no Wayland or X11 display of this user in " +
                                           session.dir() + ", and " + UINPUT_MISSING));
        EXPECT_EQ(describeWaitStatus(r.waitStatus), "exit 3");
    }
}

/* An empty WAYLAND_DISPLAY names no compositor: the program looks for its
 * user's own, as outside the session, and finds the session's. */
TEST(Around, EmptyWaylandDisplayIsNotWayland) {
    TimedRun run = runMediakey(*compositorSession, "", {"PLAYPAUSK"});
    EXPECT_EQ(run.result.out, "Invoked key 'PLAYPAUSK'.\n");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(compositor->fired(1), keysyms(0xB3));
}

} // namespace
