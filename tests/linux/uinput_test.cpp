/* The built program pressing through uinput, run inside a VM on Debian's own
 * kernel and a Debian 12 root, as root, with no X server, and systemd-udevd
 * handling each new device with Debian's rules and hwdb.  What reads the
 * keys is what reads them on a desktop: libinput, through its own debug
 * tool on the udev seat, and sway on libinput, whose key bindings must fire;
 * and a test reader that attaches to each new event device while udev is
 * still handling it, as simple hotkey daemons do. */
#include "line_child.h"
#include "media_keys.h"
#include "program_cases.h"
#include "run_process.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <linux/input-event-codes.h>
#include <memory>
#include <optional>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const int NOBODY = 65534;
/* The desktop's user, whom sway runs as. */
const int DESKTOP_USER = 1000;

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

/* libinput as compositors run it, finding devices through udev: its key
 * events as "press 164" and "release 164". */
class Libinput {
  public:
    Libinput() {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = spawn({"stdbuf", "-oL", "libinput", "debug-events", "--show-keycodes"}, -1, out[1]);
        close(out[1]);
        from_ = out[0];
        /* It lists the devices there are (the VM's own keyboard) once it
         * reads them. */
        std::string line;
        while (line.find("DEVICE_ADDED") == std::string::npos)
            if (!readLineFrom(from_, buffered_, line, TOOL_TIMEOUT_MS))
                throw std::runtime_error("libinput did not start");
    }
    ~Libinput() {
        close(from_);
        stop(pid_);
    }
    pid_t pid() const {
        return pid_;
    }
    /* The program's keyboards that keys() saw added. */
    int added = 0;

    Libinput(const Libinput &) = delete;
    Libinput &operator=(const Libinput &) = delete;

    /* The key events until `devices` devices of the program are gone again;
     * with none, what it reported so far. */
    std::vector<std::string> keys(int devices = 1) {
        std::vector<std::string> keys;
        std::string line;
        while (readLineFrom(from_, buffered_, line, devices > 0 ? TOOL_TIMEOUT_MS : 0)) {
            size_t key = line.find("KEYBOARD_KEY");
            size_t code = line.find(" (", key);
            if (key != std::string::npos && code != std::string::npos)
                keys.push_back(
                    (line.find(") pressed") != std::string::npos ? "press " : "release ") +
                    line.substr(code + 2, line.find(')', code) - code - 2));
            bool ours = line.find(" mediakey ") != std::string::npos;
            added += ours && line.find("DEVICE_ADDED") != std::string::npos;
            if (ours && line.find("DEVICE_REMOVED") != std::string::npos && --devices == 0)
                break;
        }
        return keys;
    }

  private:
    pid_t pid_;
    int from_;
    std::string buffered_;
};

std::vector<std::string> keystroke(int virtualKey) {
    if (virtualKey == NO_KEY)
        return {};
    std::string code = std::to_string(mediaKeyRowFor(virtualKey)->evdevCode);
    return {"press " + code, "release " + code};
}

/* Appends the reports of one more run to those before it. */
void append(std::vector<std::string> &to, const std::vector<std::string> &more) {
    to.insert(to.end(), more.begin(), more.end());
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

/* Entries of `dir` whose `file` reads "mediakey". */
int namedMediakey(const std::string &dir, const std::string &file) {
    int count = 0;
    DIR *entries = opendir(dir.c_str());
    while (dirent *entry = entries ? readdir(entries) : nullptr) {
        std::ifstream name(dir + "/" + entry->d_name + "/" + file);
        std::string text;
        count += std::getline(name, text) && text == "mediakey";
    }
    if (entries)
        closedir(entries);
    return count;
}

/* Input devices of the program's that still exist. */
int leftoverDevices() {
    return namedMediakey("/sys/class/input", "name");
}

/* And nothing is left behind. */
void expectCannotPress(const TimedRun &run, const std::string &mentions) {
    expectCannotPress(run.result, mentions);
    EXPECT_EQ(leftoverDevices(), 0);
}

/* Each case but the bursts' proves one run's own keyboard. */
class UinputEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("MEDIAKEY_ONE_SHOT", "1", 1);
    }
};

const testing::Environment *const uinputEnvironment =
    testing::AddGlobalTestEnvironment(new UinputEnvironment);

class ProgramRun : public testing::TestWithParam<ProgramCase> {
  protected:
    static void SetUpTestSuite() {
        libinput = std::make_unique<Libinput>();
    }
    static void TearDownTestSuite() {
        libinput.reset();
    }
    static std::unique_ptr<Libinput> libinput;
};

std::unique_ptr<Libinput> ProgramRun::libinput;

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

TEST_P(ProgramRun, WritesExactLineAndLibinputGetsExactlyItsKeystroke) {
    const ProgramCase &c = GetParam();
    UinputOpens opens;
    TimedRun run = runMediakey(c.args);
    EXPECT_EQ(run.result.out, expectedStdout(c));
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus),
              "exit " + std::to_string(expectedStatus(c)));
    EXPECT_EQ(libinput->keys(c.virtualKey == NO_KEY ? 0 : 1), keystroke(c.virtualKey));
    EXPECT_EQ(opens.any(), c.virtualKey != NO_KEY) << "opens of /dev/uinput";
    EXPECT_EQ(leftoverDevices(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramRun, testing::ValuesIn(programCases()), caseName);

/* A remote control fires presses in a row and, now and then, at once. */
/* Runs the program `count` times in a row for the media code of `row`, each
 * of which must succeed; the keys that every reader should get, in order. */
std::vector<std::string> pressInARow(const MediaKeyRow &row, int count) {
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) {
        TimedRun run = runMediakey({row.code});
        EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
        append(expected, keystroke(row.virtualKey));
    }
    return expected;
}

TEST(Libinput, GetsTenPressesInARowEachOnce) {
    Libinput libinput;
    std::vector<std::string> expected = pressInARow(mediaKeyRows[0], 10);
    EXPECT_EQ(libinput.keys(10), expected);
}

/* Six runs started at once, one for each of six media codes: the keys that
 * every reader should get, in some order. */
std::vector<std::string> runSixAtOnce() {
    std::vector<std::thread> runs;
    std::vector<std::string> statuses(6), expected;
    for (size_t i = 0; i < 6; ++i) {
        runs.emplace_back([&statuses, i] {
            ProcessResult r = runMediakey({mediaKeyRows[i].code}).result;
            statuses[i] = describeWaitStatus(r.waitStatus) + " " + r.err;
        });
        append(expected, keystroke(mediaKeyRows[i].virtualKey));
    }
    for (std::thread &run : runs)
        run.join();
    EXPECT_EQ(statuses, std::vector<std::string>(6, "exit 0 "));
    std::sort(expected.begin(), expected.end());
    return expected;
}

std::vector<std::string> sorted(std::vector<std::string> keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST(Libinput, GetsSixPressesStartedAtOnceEachOnce) {
    Libinput libinput;
    std::vector<std::string> expected = runSixAtOnce();
    EXPECT_EQ(sorted(libinput.keys(6)), expected);
}

/* sway on libinput, as an ordinary user that seatd hands the devices, with a
 * binding for each media key that notes which fired; or with none and wev
 * focused, standing for a player that handles the keys itself, whose key
 * events it notes as "press XF86AudioPlay". */
class Sway {
  public:
    explicit Sway(bool bindings = true) {
        mkdir(DIR, 0700);
        chown(DIR, DESKTOP_USER, DESKTOP_USER);
        unlink(READY);
        unlink((std::string(DIR) + "/fired").c_str());
        unlink(BURST);
        std::ofstream config(std::string(DIR) + "/config");
        for (const MediaKeyRow &row : mediaKeyRows)
            if (bindings)
                config << binding(row, std::string(DIR) + "/fired") << "\n";
        if (!bindings) {
            std::ofstream(std::string(DIR) + "/client")
                << "stdbuf -oL wev | tee " << DIR
                << "/wev | sed -nu -e '/state: 1 (pressed)/{s/.*/press/;h}' -e "
                   "'/state: 0 (released)/{s/.*/release/;h}' -e '/sym:/{s/.*sym: \\([^ "
                   "]*\\).*/\\1/;H;x;s/\\n/ /p}' >>"
                << DIR << "/fired\n";
            config << "exec sh " << DIR << "/client\n";
        }
        /* No X server of the desktop's user: runs of that user outside the
         * session would press there. */
        config << "xwayland disable\n";
        config << "exec touch " << DIR << "/ready\n";
        config.close();
        seatd_ = spawn({"seatd", "-u", "desktop"}, -1, -1);
        for (int i = 0; i < 500 && access("/run/seatd.sock", F_OK) != 0; ++i)
            usleep(10000);
        std::string uid = std::to_string(DESKTOP_USER);
        sway_ =
            spawn({"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "env",
                   std::string("HOME=") + DIR, std::string("XDG_RUNTIME_DIR=") + DIR,
                   "WLR_BACKENDS=headless,libinput", "WLR_RENDERER=pixman", "LIBSEAT_BACKEND=seatd",
                   "WLR_LIBINPUT_NO_DEVICES=1", "sway", "-c", std::string(DIR) + "/config"},
                  -1, -1);
        for (int i = 0; i < TOOL_TIMEOUT_MS / 10 && access(READY, F_OK) != 0; ++i)
            usleep(10000);
        if (access(READY, F_OK) != 0)
            throw std::runtime_error("sway did not start");
        /* Until sway has wev's window and gives it the focus. */
        for (int i = 0; !bindings && i < TOOL_TIMEOUT_MS / 10 && !tell("[app_id=wev] focus"); ++i)
            usleep(10000);
        /* sway runs its configuration's commands before its input backend
         * takes any device: it is ready once a press fires a binding. */
        for (int i = 0; bindings && i < 20 && fired(0).empty(); ++i) {
            runMediakey({"PLAYPAUSK"});
            usleep(200000);
        }
        if (bindings) {
            if (fired(0).empty())
                throw std::runtime_error("sway never took a keyboard");
            /* A ready run's binding can reach its file late (a fork on a
             * busy machine): from here on they write to another, which
             * sway takes after every key it read. */
            for (const MediaKeyRow &row : mediaKeyRows)
                if (!tell(binding(row, BURST)))
                    throw std::runtime_error("sway took no new binding");
            fired_ = BURST;
        }
    }
    ~Sway() {
        stop(sway_);
        stop(seatd_);
    }
    Sway(const Sway &) = delete;
    Sway &operator=(const Sway &) = delete;

    pid_t seatd() const {
        return seatd_;
    }
    /* The bindings that fired, once there are `count`. */
    std::vector<std::string> fired(size_t count) {
        return fileLines(fired_, count);
    }

  private:
    static constexpr const char *DIR = "/tmp/sway";
    static constexpr const char *READY = "/tmp/sway/ready";
    static constexpr const char *BURST = "/tmp/sway/burst";
    std::string fired_ = std::string(DIR) + "/fired";

    /* sway repeats a binding whose key it still holds after its delay: a
     * sway that a busy machine kept in the binding's fork longer than that
     * fired one twice and missed the next. */
    static std::string binding(const MediaKeyRow &row, const std::string &file) {
        return std::string("bindsym --no-repeat ") + row.keysym + " exec echo " + row.keysym +
               " >>" + file;
    }
    /* Whether sway carried out `command`, told through its socket. */
    bool tell(const std::string &command) {
        ::DIR *dir = opendir(DIR);
        std::string socket;
        while (dirent *entry = dir ? readdir(dir) : nullptr)
            if (std::string(entry->d_name).rfind("sway-ipc.", 0) == 0)
                socket = std::string(DIR) + "/" + entry->d_name;
        if (dir)
            closedir(dir);
        return !socket.empty() &&
               runProcess({"env", "SWAYSOCK=" + socket, "swaymsg", command}).waitStatus == 0;
    }
    pid_t seatd_;
    pid_t sway_;
};

TEST(Sway, FiresEachMediaKeyBindingOnce) {
    Sway sway;
    std::vector<std::string> expected;
    for (const MediaKeyRow &row : mediaKeyRows) {
        TimedRun run = runMediakey({row.code});
        EXPECT_EQ(run.result.out, "Invoked key '" + std::string(row.code) + "'.\n");
        EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
        expected.push_back(row.keysym);
        EXPECT_EQ(sway.fired(expected.size()), expected);
    }
    TimedRun run = runMediakey({"VOLUP000Kxyz"});
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    expected.push_back("XF86AudioRaiseVolume");
    EXPECT_EQ(sway.fired(expected.size()), expected);
    /* A binding fired twice would show by now. */
    usleep(500000);
    EXPECT_EQ(sway.fired(0), expected);
}

TEST(Sway, AndLibinputBesideItBothGetFiftyPressesInARow) {
    Sway sway;
    Libinput libinput;
    std::vector<std::string> expected = pressInARow(mediaKeyRows[0], 50);
    EXPECT_EQ(libinput.keys(50), expected);
    std::vector<std::string> fired = sway.fired(50);
    EXPECT_EQ(fired.size(), 50u);
    EXPECT_EQ(fired, std::vector<std::string>(fired.size(), "XF86AudioPlay"));
}

/* A udev rules file of the suite's, in force while this lives. */
class UdevRules {
  public:
    /* The suite's file `name`, or a file of that name with `rule` alone;
     * changed only once udev is done with the last case's keyboard. */
    explicit UdevRules(const std::string &name, const char *rule = nullptr)
        : name_(name), write_("rm -f " + file() + " && " +
                              (rule ? "echo '" + std::string(rule) + "'" : "cat /suite/" + name) +
                              " >" + file() + " && echo 'ACTION==\"change\", KERNEL==\"null\", " +
                              "RUN+=\"/bin/touch " + sign() + "\"' >>" + file()) {
        EXPECT_EQ(system(("udevadm settle && mkdir -p /run/udev/rules.d && " + write_).c_str()), 0);
        reloadUntil(true);
    }
    ~UdevRules() {
        unlink(file().c_str());
        reloadUntil(false);
    }

  private:
    /* Under load, udevd now and then kept the rules from before a reload for
     * some seconds, through further reloads (once in 150 reloads; why is not
     * known): a row then ran without its rule.  So the file's own rule marks
     * /dev/null's change event while udevd has the file, and until that
     * shows the file taken, or dropped, it is written anew and reloaded, a
     * little later each time. */
    void reloadUntil(bool taken) {
        for (unsigned i = 0; i < 20; ++i) {
            if (i > 0) {
                usleep(100000 * std::min(i, 10u));
                if (taken)
                    system(write_.c_str());
            }
            unlink(sign().c_str());
            system("udevadm control --reload && "
                   "udevadm trigger --settle --action=change /sys/class/mem/null");
            if ((access(sign().c_str(), F_OK) == 0) == taken)
                return;
        }
        ADD_FAILURE() << "udevd never " << (taken ? "took " : "dropped ") << name_;
    }
    std::string file() const {
        return "/run/udev/rules.d/" + name_;
    }
    std::string sign() const {
        return "/run/udev-took-" + name_;
    }
    std::string name_;
    std::string write_;
};

/* Processes of the program still there: a keeper. */
int keepers() {
    return namedMediakey("/proc", "comm");
}

/* A held remote button, each repeat a run: 20 runs 100 ms apart, or all at
 * once, through the keyboard that the first run left with its keeper; by
 * root, or by the desktop's user, granted the node as the package's rules
 * grant it, where Yama lets no process of that user trace the compositor. */
struct BurstCase {
    const char *name;
    int apartMs;
    bool desktopUser;
    bool sway; /* else libinput alone, whose keeper knows its reader at once */
};

class Burst : public testing::TestWithParam<BurstCase> {};

/* The node and the program's keyboards are the desktop user's, and Yama's
 * ptrace_scope 1 is in force, while this lives.  The user's runs get a
 * runtime directory without sway's socket, where they would press through
 * sway's virtual keyboard instead. */
class DesktopUserGrant {
  public:
    DesktopUserGrant() {
        mkdir(RUNTIME_DIR, 0700);
        EXPECT_EQ(chown(RUNTIME_DIR, DESKTOP_USER, DESKTOP_USER), 0);
        EXPECT_EQ(chown("/dev/uinput", DESKTOP_USER, 0), 0);
        std::ofstream("/proc/sys/kernel/yama/ptrace_scope") << "1\n";
    }
    ~DesktopUserGrant() {
        std::ofstream("/proc/sys/kernel/yama/ptrace_scope") << "0\n";
        chown("/dev/uinput", 0, 0);
    }

  private:
    static constexpr const char *RUNTIME_DIR = "/tmp/desktop-runtime";
    UdevRules rules_{"desktop_user.rules"};
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", RUNTIME_DIR};
};

TEST_P(Burst, EachKeyReadOnceFromOneKeyboardAndNothingStays) {
    /* sway's first presses leave no keeper: its idle time would end about as
     * the burst starts, and libinput see its keyboard go without a key. */
    std::optional<Sway> sway;
    if (GetParam().sway)
        sway.emplace();
    Libinput libinput;
    std::optional<DesktopUserGrant> grant;
    if (GetParam().desktopUser)
        grant.emplace();
    unsetenv("MEDIAKEY_ONE_SHOT");
    const size_t count = 20;
    std::vector<std::thread> runs;
    std::vector<std::string> lines(count), expectedLines, expected, expectedFired;
    int user = GetParam().desktopUser ? DESKTOP_USER : -1;
    for (size_t i = 0; i < count; ++i) {
        const MediaKeyRow &row = mediaKeyRows[i % std::size(mediaKeyRows)];
        runs.emplace_back([&lines, &row, i, user] {
            ProcessResult r = runMediakey({row.code}, StdoutTo::Pipe, user).result;
            lines[i] = describeWaitStatus(r.waitStatus) + " " + r.out + r.err;
        });
        expectedLines.push_back(std::string("exit 0 Invoked key '") + row.code + "'.\n");
        append(expected, keystroke(row.virtualKey));
        expectedFired.push_back(row.keysym);
        std::this_thread::sleep_for(std::chrono::milliseconds(GetParam().apartMs));
    }
    for (std::thread &run : runs)
        run.join();
    EXPECT_EQ(lines, expectedLines);
    EXPECT_EQ(sway ? sorted(sway->fired(count)) : sorted(expectedFired), sorted(expectedFired));
    /* Until the keyboard goes, which the keeper's idle time ends. */
    EXPECT_EQ(sorted(libinput.keys(1)), sorted(expected));
    EXPECT_EQ(libinput.added, 1);
    for (int i = 0; i < 100 && keepers() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(keepers(), 0);
    EXPECT_EQ(leftoverDevices(), 0);
    EXPECT_EQ(runProcess({"dmesg"}).out.find("ptrace attach"), std::string::npos);
    setenv("MEDIAKEY_ONE_SHOT", "1", 1);
}

/* With the compositor gone, a keeper would press into nothing: it goes
 * well before its idle time. */
TEST(Keeper, GoesWithItsReaders) {
    unsetenv("MEDIAKEY_ONE_SHOT");
    {
        Libinput libinput;
        EXPECT_EQ(describeWaitStatus(runMediakey({"VOLUP000K"}).result.waitStatus), "exit 0");
        EXPECT_EQ(keepers(), 1);
    }
    for (int i = 0; i < 50 && keepers() + leftoverDevices() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(keepers(), 0);
    EXPECT_EQ(leftoverDevices(), 0);
    setenv("MEDIAKEY_ONE_SHOT", "1", 1);
}

/* The keeper's process, or 0 where there is none. */
pid_t keeperPid() {
    DIR *entries = opendir("/proc");
    pid_t found = 0;
    while (dirent *entry = entries ? readdir(entries) : nullptr) {
        std::ifstream name(std::string("/proc/") + entry->d_name + "/comm");
        std::string text;
        if (std::getline(name, text) && text == "mediakey")
            found = atoi(entry->d_name);
    }
    if (entries)
        closedir(entries);
    return found;
}

/* The CPU time that process `pid` has used so far, in clock ticks, or -1
 * once it is gone. */
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text) || text.rfind(')') == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14)
            user = std::stol(field);
        else if (i == 15)
            system = std::stol(field);
    return user + system;
}

/* A client of root's keeper, as a run is. */
int keeperClient() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/run/mediakey/mediakey-uinput");
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    return fd;
}

/* A connection that says nothing keeps no keeper, and the key of a run that
 * hung up before the keeper took it is never pressed. */
TEST(Keeper, EndsInItsIdleTimeBesideASilentClientAndPressesNoKeyOfAGoneRun) {
    unsetenv("MEDIAKEY_ONE_SHOT");
    Libinput libinput;
    EXPECT_EQ(describeWaitStatus(runMediakey({"VOLUP000K"}).result.waitStatus), "exit 0");
    auto pressed = std::chrono::steady_clock::now();
    pid_t keeper = keeperPid();
    ASSERT_GT(keeper, 0);
    int silent = keeperClient();
    kill(keeper, SIGSTOP);
    int gone = keeperClient();
    uint16_t code = KEY_PLAYPAUSE;
    EXPECT_EQ(send(gone, &code, sizeof code, 0), 2);
    close(gone);
    kill(keeper, SIGCONT);
    long ticks = 0;
    for (long now; (now = cpuTicks(keeper)) >= 0; usleep(20000))
        ticks = now;
    std::chrono::duration<double> lived = std::chrono::steady_clock::now() - pressed;
    EXPECT_LT(lived.count(), 3.0);
    /* A keeper that spun would take most of its idle time. */
    EXPECT_LE(ticks * 1000 / sysconf(_SC_CLK_TCK), 250) << "ms of CPU time";
    EXPECT_EQ(libinput.keys(), keystroke(0xAF));
    std::this_thread::sleep_for(std::chrono::seconds(5) -
                                (std::chrono::steady_clock::now() - pressed));
    TimedRun next = runMediakey({"NEXT0000K"});
    EXPECT_EQ(describeWaitStatus(next.result.waitStatus), "exit 0") << next.result.err;
    EXPECT_EQ(libinput.keys(), keystroke(0xB0));
    close(silent);
    for (int i = 0; i < 100 && keepers() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(keepers(), 0);
    setenv("MEDIAKEY_ONE_SHOT", "1", 1);
}

const BurstCase burstCases[] = {{"HundredMsApart", 100, false, true},
                                {"AtOnce", 0, false, true},
                                {"AtOnceByTheDesktopUser", 0, true, true},
                                {"AtOnceToLibinputAlone", 0, false, false}};

INSTANTIATE_TEST_SUITE_P(Cases, Burst, testing::ValuesIn(burstCases),
                         [](const testing::TestParamInfo<BurstCase> &burst) {
                             return std::string(burst.param.name);
                         });

/* Run alone, on a guest booted without its keyboard (i8042.nokbd): the seat
 * has none until the program's appears, and a client learns of it only
 * then. */
TEST(Keyboardless, FocusedClientGetsEveryPress) {
    ProcessResult devices = runProcess({"libinput", "list-devices"});
    ASSERT_EQ(devices.out.find("keyboard"), std::string::npos) << devices.out;
    Sway sway(false);
    std::vector<std::string> expected;
    for (const MediaKeyRow &row : mediaKeyRows) {
        TimedRun run = runMediakey({row.code});
        EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
        append(expected,
               {std::string("press ") + row.keysym, std::string("release ") + row.keysym});
        EXPECT_EQ(sway.fired(expected.size()), expected);
    }
}

/* A reader that a rule's RUN program hands each new keyboard while udev
 * still handles it, which keeps udev busy until that reader has the node,
 * so that udevd broadcasts the device to libinput only after it reads. */
class HandedReader {
  public:
    HandedReader() {
        unlink(KEYS);
    }
    std::vector<std::string> keys(size_t count) {
        return fileLines(KEYS, count);
    }

  private:
    static constexpr const char *KEYS = "/tmp/handed";
    UdevRules rules_{"handed_reader.rules"};
};

TEST(HandedReader, AndLibinputEachGetEveryMediaKeyOnce) {
    Libinput libinput;
    HandedReader handed;
    std::vector<std::string> expected;
    for (const MediaKeyRow &row : mediaKeyRows) {
        TimedRun run = runMediakey({row.code});
        EXPECT_EQ(run.result.out, "Invoked key '" + std::string(row.code) + "'.\n");
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0");
        EXPECT_EQ(libinput.keys(), keystroke(row.virtualKey));
        append(expected, keystroke(row.virtualKey));
        EXPECT_EQ(handed.keys(expected.size()), expected);
    }
}

TEST(HandedReader, AndLibinputEachGetSixPressesStartedAtOnce) {
    Libinput libinput;
    HandedReader handed;
    std::vector<std::string> expected = runSixAtOnce();
    EXPECT_EQ(sorted(libinput.keys(6)), expected);
    EXPECT_EQ(sorted(handed.keys(expected.size())), expected);
}

/* A hotkey daemon that opens each new keyboard while udev still handles it,
 * and libinput, which opens it once udev announced it. */
TEST(Libinput, AndAnEarlyReaderEachGetTenPressesInARow) {
    Libinput libinput;
    EvReader early;
    std::vector<std::string> expected = pressInARow(mediaKeyRows[2], 10);
    EXPECT_EQ(libinput.keys(10), expected);
    std::vector<std::string> seen;
    for (int i = 0; i < 10 && seen.size() < expected.size(); ++i)
        append(seen, early.keys());
    EXPECT_EQ(seen, expected);
}

/* Readers unlike libinput: one that probes first as udev does, one that
 * attaches 300 ms late, and one that a busy machine runs only 40 ms after
 * each event comes, whose answers to the probes are that late. */
struct ReaderCase {
    const char *name;
    std::vector<std::string> options;
    const MediaKeyRow &row;
    double leastSeconds;
};

class LateReader : public testing::TestWithParam<ReaderCase> {};

TEST_P(LateReader, StillGetsThePressOnce) {
    const ReaderCase &c = GetParam();
    EvReader reader(c.options);
    TimedRun run = runMediakey({c.row.code});
    EXPECT_EQ(run.result.out, "Invoked key '" + std::string(c.row.code) + "'.\n");
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_EQ(reader.keys(), keystroke(c.row.virtualKey));
    EXPECT_GE(run.seconds, c.leastSeconds);
}

const ReaderCase readerCases[] = {
    {"ThatProbesFirstAsUdevDoes", {"--probe"}, mediaKeyRows[4], 0},
    {"ThatAttaches300MsLate", {"--delay", "300"}, mediaKeyRows[2], 0.3},
    {"ThatReadsEachEvent40MsLate", {"--lag", "40"}, mediaKeyRows[5], 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, LateReader, testing::ValuesIn(readerCases),
                         [](const testing::TestParamInfo<ReaderCase> &reader) {
                             return std::string(reader.param.name);
                         });

/* udev slow over each new keyboard past the 2 s within which a reader is
 * looked for, held over its input device as a queue holds it (which is no
 * pace of the readers'), or stopped before it took the kernel's event. */
struct HeldUdevCase {
    const char *name;
    const char *rules; /* the suite's file, or one of `rule` alone, or none */
    const char *rule;
    unsigned stoppedSeconds;
    const char *code;
    int key;
    double leastSeconds;
};

const HeldUdevCase heldUdevCases[] = {
    {"OverTheKeyboardPastTwoSeconds", "slow_udev.rules", nullptr, 0, "STOP0000K", 0xB2, 2.0},
    {"OverItsInputDeviceForEightSeconds", "slow_input.rules",
     "ACTION==\"add\", SUBSYSTEM==\"input\", KERNEL==\"input*\", ATTR{name}==\"mediakey\", "
     "PROGRAM=\"/bin/sleep 8\"",
     0, "VOLUP000K", 0xAF, 8.0},
    {"StoppedForSixSeconds", nullptr, nullptr, 6, "PREV0000K", 0xB1, 6.0},
};

class HeldUdev : public testing::TestWithParam<HeldUdevCase> {};

TEST_P(HeldUdev, StillLetsLibinputAndAnEarlyReaderGetThePress) {
    const HeldUdevCase &c = GetParam();
    std::optional<UdevRules> rules;
    if (c.rules)
        rules.emplace(c.rules, c.rule);
    Libinput libinput;
    EvReader early;
    /* Every udevd process; a shell of its own resumes them whatever this
     * test does. */
    if (c.stoppedSeconds) {
        std::string stop = "for d in /proc/[0-9]*; do [ \"$(cat $d/comm)\" = systemd-udevd ] && "
                           "p=\"$p ${d#/proc/}\"; done 2>/dev/null; kill -STOP $p || exit 1; "
                           "(sleep " +
                           std::to_string(c.stoppedSeconds) + "; kill -CONT $p) &";
        ASSERT_EQ(system(stop.c_str()), 0);
    }
    TimedRun run = runMediakey({c.code});
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_GE(run.seconds, c.leastSeconds);
    EXPECT_EQ(libinput.keys(), keystroke(c.key));
    EXPECT_EQ(early.keys(), keystroke(c.key));
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldUdev, testing::ValuesIn(heldUdevCases),
                         [](const testing::TestParamInfo<HeldUdevCase> &held) {
                             return std::string(held.param.name);
                         });

/* A process kept from running for some seconds from now, as a busy machine
 * keeps it from its work. */
class Frozen {
  public:
    Frozen(pid_t pid, unsigned seconds) : pid_(pid) {
        mount("cgroup2", "/sys/fs/cgroup", "cgroup2", 0, nullptr);
        mkdir("/sys/fs/cgroup/frozen", 0755);
        std::ofstream("/sys/fs/cgroup/frozen/cgroup.procs") << pid << "\n";
        freeze("1");
        thaw_ = std::thread([this, seconds] {
            sleep(seconds);
            freeze("0");
            /* A thaw that did not take fails the fixture, not the press. */
            for (int i = 0; i < 100 && !thawed_; ++i, usleep(10000)) {
                auto events = fileLines("/sys/fs/cgroup/frozen/cgroup.events", 2);
                thawed_ = events.size() > 1 && events[1] == "frozen 0";
            }
        });
    }
    ~Frozen() {
        thaw_.join();
        EXPECT_TRUE(thawed_) << "the frozen process was not thawed";
        std::ofstream("/sys/fs/cgroup/cgroup.procs") << pid_ << "\n";
    }

  private:
    static void freeze(const char *on) {
        std::ofstream("/sys/fs/cgroup/frozen/cgroup.freeze") << on;
    }
    pid_t pid_;
    bool thawed_ = false;
    std::thread thaw_;
};

/* More threads than cores wanting to run, as long as it lasts. */
class Busy {
  public:
    explicit Busy(int loops) {
        for (int i = 0; i < loops; ++i)
            if ((loops_[i] = fork()) == 0)
                for (;;) {
                }
    }
    ~Busy() {
        for (pid_t loop : loops_)
            if (loop > 0 && kill(loop, SIGKILL) == 0)
                waitpid(loop, nullptr, 0);
    }

  private:
    pid_t loops_[4] = {};
};

/* libinput frozen until past the 2 s after udev's broadcast, so that nothing
 * opens the keyboard before: the press waits for it. */
TEST(Reader, AndLibinputStarvedPastTwoSecondsStillGetThePress) {
    Libinput libinput;
    std::optional<Frozen> frozen(std::in_place, libinput.pid(), 3);
    TimedRun run = runMediakey({"NEXT0000K"});
    frozen.reset();
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_GE(run.seconds, 2.5);
    EXPECT_EQ(libinput.keys(), keystroke(0xB0));
}

/* sway asks seatd for each new keyboard and waits for its answer in a poll,
 * which looks like its loop; a busy machine runs seatd late.  sway had the
 * last keyboard open (the fixture's first presses): it is waited for up to
 * 10 s after udev's broadcast, and past that the key goes to the others,
 * on a busy machine too. */
struct HeldSeatdCase {
    const char *name;
    bool libinput;
    unsigned frozenSeconds;
    double leastSeconds;
    bool swayFires;
    int busyLoops;
};

const HeldSeatdCase heldSeatdCases[] = {
    {"Alone", false, 3, 2.5, true, 0},
    {"BesideLibinput", true, 3, 2.5, true, 0},
    {"BesideLibinputOnABusyMachine", true, 3, 2.5, true, 3},
    {"PastTenSecondsBesideLibinput", true, 14, 9.5, false, 0},
};

class HeldSeatd : public testing::TestWithParam<HeldSeatdCase> {};

TEST_P(HeldSeatd, TheKeyGoesOnceSwayHasItOrOnceItIsGivenUp) {
    const HeldSeatdCase &c = GetParam();
    Sway sway;
    std::optional<Libinput> libinput;
    if (c.libinput)
        libinput.emplace();
    std::optional<Busy> busy(std::in_place, c.busyLoops);
    std::optional<Frozen> frozen(std::in_place, sway.seatd(), c.frozenSeconds);
    TimedRun run = runMediakey({"VOLUP000K"});
    frozen.reset();
    busy.reset();
    EXPECT_EQ(describeWaitStatus(run.result.waitStatus), "exit 0") << run.result.err;
    EXPECT_GE(run.seconds, c.leastSeconds);
    EXPECT_EQ(sway.fired(c.swayFires ? 1 : 0),
              std::vector<std::string>(c.swayFires, "XF86AudioRaiseVolume"));
    if (libinput) {
        EXPECT_EQ(libinput->keys(), keystroke(0xAF));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldSeatd, testing::ValuesIn(heldSeatdCases),
                         [](const testing::TestParamInfo<HeldSeatdCase> &held) {
                             return std::string(held.param.name);
                         });

/* About 2 s after udev's broadcast, which a loaded machine makes late. */
TEST(Reader, NoneMeansCannotPressWithinFiveSeconds) {
    TimedRun run = runMediakey({"PLAYPAUSK"});
    expectCannotPress(run, "no program read keyboard input");
    EXPECT_LT(run.seconds, 5.0);
}

/* A run that keeps the node from the others makes them give up, not hang;
 * they wait longer than a run on a stuck machine may take. */
TEST(Reader, HeldUinputMeansCannotPressWithinFiftyOneSeconds) {
    EvReader reader;
    int held = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    TimedRun run = runMediakey({"PLAYPAUSK"});
    close(held);
    expectCannotPress(run, "other presses kept /dev/uinput busy");
    EXPECT_GE(run.seconds, 45.0);
    EXPECT_LT(run.seconds, 51.0);
    EXPECT_EQ(reader.keys(), keystroke(NO_KEY));
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
