#include "fake_mutter.h"

#include <csignal>
#include <dbus/dbus.h>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char NAME[] = "org.gnome.Mutter.RemoteDesktop";
const char SESSION_PATH[] = "/org/gnome/Mutter/RemoteDesktop/Session/1";

/* Anyone may connect: the fake serves as root, the program runs as the
 * session's user. */
const char CONFIG[] = "<busconfig><type>session</type><listen>unix:path=%s/bus</listen>"
                      "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                      "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                      "<allow own=\"*\"/></policy></busconfig>";

} // namespace

FakeMutter::FakeMutter(const Session &session, std::vector<MutterAnswer> answers)
    : answers_(std::move(answers)) {
    std::string config = session.dir() + "/fake-mutter.conf";
    char text[sizeof CONFIG + 4096];
    snprintf(text, sizeof text, CONFIG, session.dir().c_str());
    std::ofstream(config) << text;
    bus_ = fork();
    if (bus_ == 0) {
        int log = open((session.dir() + "/fake-mutter.log").c_str(), O_WRONLY | O_CREAT, 0644);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execlp("dbus-daemon", "dbus-daemon", "--nofork", "--config-file", config.c_str(), nullptr);
        _exit(127);
    }
    std::string address = "unix:path=" + session.dir() + "/bus";
    DBusConnection *c = nullptr;
    for (int i = 0; i < 400 && !c; ++i) {
        usleep(10000);
        c = dbus_connection_open_private(address.c_str(), nullptr);
    }
    if (!c || !dbus_bus_register(c, nullptr) ||
        dbus_bus_request_name(c, NAME, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        kill(bus_, SIGTERM);
        waitpid(bus_, nullptr, 0);
        throw std::runtime_error("the fake mutter could not take its name");
    }
    connection_ = c;
    thread_ = std::thread([this] { serve(); });
}

FakeMutter::~FakeMutter() {
    calls();
    auto *c = static_cast<DBusConnection *>(connection_);
    dbus_connection_close(c);
    dbus_connection_unref(c);
    kill(bus_, SIGTERM);
    waitpid(bus_, nullptr, 0);
}

std::vector<std::string> FakeMutter::calls() {
    done_ = true;
    if (thread_.joinable())
        thread_.join();
    return calls_;
}

void FakeMutter::serve() {
    auto *c = static_cast<DBusConnection *>(connection_);
    size_t next = 0;
    bool silent = false;
    while (!done_ && dbus_connection_read_write(c, 50)) {
        while (DBusMessage *m = dbus_connection_pop_message(c)) {
            const char *interface = dbus_message_get_interface(m);
            if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL || !interface ||
                std::string(interface).rfind(NAME, 0) != 0) {
                dbus_message_unref(m);
                continue;
            }
            std::string call = dbus_message_get_member(m);
            dbus_uint32_t code = 0;
            dbus_bool_t down = false;
            if (dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT32, &code, DBUS_TYPE_BOOLEAN, &down,
                                      DBUS_TYPE_INVALID))
                call += " " + std::to_string(code) + (down ? " down" : " up");
            calls_.push_back(call);
            MutterAnswer answer = next < answers_.size() ? answers_[next] : MutterAnswer::Reply;
            ++next;
            silent = silent || answer == MutterAnswer::Silence;
            DBusMessage *reply = nullptr;
            if (silent) {
            } else if (answer == MutterAnswer::Error) {
                reply = dbus_message_new_error(m, DBUS_ERROR_ACCESS_DENIED, "refused");
            } else {
                reply = dbus_message_new_method_return(m);
                const char *path = SESSION_PATH;
                if (call == "CreateSession")
                    dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &path,
                                             DBUS_TYPE_INVALID);
            }
            if (reply) {
                dbus_connection_send(c, reply, nullptr);
                dbus_message_unref(reply);
            }
            dbus_message_unref(m);
        }
    }
}
