// A platform service for tests: one of our skeletons, exported on its own bus connection and served
// by its own thread and main context, with per-test method handlers and a record of calls received.
#pragma once

#include <gio/gio.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tbox::test {

struct ReceivedCall {
    std::string interface;
    std::string member;
    std::string args;  // g_variant_print of the body, e.g. ('at+gsn', '', 3)
};

class FakeService {
public:
    using SkeletonFactory = std::function<gpointer()>;
    // Handles one "handle-<method>" emission; return true to claim the invocation (and answer it).
    using Handler = std::function<bool(GDBusMethodInvocation *invocation)>;

    // bus_name "ky.at", object_path "/ky/at", factory e.g. [] { return ky_at_skeleton_new(); }.
    FakeService(std::string bus_name, std::string object_path, SkeletonFactory factory);
    ~FakeService();
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    void handle(const char *gobject_signal, Handler handler);
    // Runs fn on the service thread and waits for it.
    void run(const std::function<void()> &fn);

    template <typename T>
    T *skeleton() const {
        return reinterpret_cast<T *>(skeleton_);
    }
    GDBusConnection *connection() const { return connection_; }
    std::string unique_name() const;

    std::vector<ReceivedCall> calls() const;
    size_t count(const std::string &member) const;
    // The printed arguments of every call of `member`, in arrival order.
    std::vector<std::string> calls_to(const std::string &member) const;

private:
    static GDBusMessage *filter(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer self);
    void serve();

    std::string bus_name_;
    std::string object_path_;
    SkeletonFactory factory_;
    std::thread thread_;
    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    GDBusConnection *connection_ = nullptr;
    gpointer skeleton_ = nullptr;
    std::string error_;

    mutable std::mutex mutex_;
    std::condition_variable ready_cv_;
    bool ready_ = false;
    std::vector<ReceivedCall> calls_;
};

// Opens an extra private connection to the test bus (e.g. to export a skeleton twice).
GDBusConnection *open_bus_connection();

// Records every D-Bus signal that reaches `connection` (default: the system bus), iterated in the
// default main context.
class SignalRecorder {
public:
    struct Signal {
        std::string sender, path, interface, member, args;
    };
    explicit SignalRecorder(GDBusConnection *connection = nullptr);
    ~SignalRecorder();
    std::vector<Signal> signals() const { return signals_; }
    size_t count(const std::string &member) const;

private:
    GDBusConnection *connection_;
    guint id_ = 0;
    std::vector<Signal> signals_;
};

}  // namespace tbox::test
