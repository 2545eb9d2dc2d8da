// A platform service for tests: one of our skeletons, exported on its own bus connection and served
// by its own thread and main context, with per-test method handlers and a record of calls received.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/service_thread.h"

namespace tbox::test {

// The method calls that reach a connection, seen by a message filter (in GDBus's worker thread).
class CallRecorder {
public:
    CallRecorder() = default;
    CallRecorder(const CallRecorder &) = delete;
    CallRecorder &operator=(const CallRecorder &) = delete;

    // Records from now on every call `connection` receives; the recorder must outlive the connection.
    void attach(GDBusConnection *connection);
    // The printed arguments of every call of `member` received, e.g. "('at+gsn', '', 3)".
    std::vector<std::string> calls_to(const std::string &member) const;
    // The members of all calls of the service's own interface (not org.freedesktop.DBus.*), in order.
    std::vector<std::string> members() const;

private:
    struct Call {
        std::string interface, member, args;  // args printed
    };
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

class FakeService {
public:
    // Handles one "handle-<method>" emission; return true to claim the invocation (and answer it).
    using Handler = std::function<bool(GDBusMethodInvocation *invocation)>;

    // Owns `bus_name` and exports the skeleton made by `factory` (on the service thread) at `path`.
    FakeService(const std::string &bus_name, const std::string &path, const std::function<gpointer()> &factory);
    ~FakeService();
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    void handle(const char *gobject_signal, Handler handler);
    // Answers every call of the method with `value` (a tuple, or nullptr for "()").
    void reply(const char *gobject_signal, GVariant *value);
    // Runs fn on the service thread and waits for it.
    void run(const std::function<void()> &fn) { thread_.run(fn); }
    template <typename T>
    T *skeleton() const {
        return reinterpret_cast<T *>(skeleton_);
    }
    std::vector<std::string> calls_to(const std::string &member) const { return calls_.calls_to(member); }
    size_t count(const std::string &member) const { return calls_to(member).size(); }
    std::vector<std::string> members() const { return calls_.members(); }

private:
    CallRecorder calls_;  // outlives the connection, whose filter writes to it
    ServiceThread thread_;
    GDBusConnection *connection_ = nullptr;
    gpointer skeleton_ = nullptr;
};

// Opens an extra private connection to the test bus.
GDBusConnection *open_bus_connection();

// The printed answer of org.freedesktop.DBus.Properties.GetAll for `interface` at `name` and `path`.
std::string get_all(const char *name, const char *path, const char *interface);

// Records the D-Bus signals of services (not of the bus itself) that reach the system-bus connection,
// iterated in the default context.
class SignalRecorder {
public:
    struct Signal {
        std::string sender, path, interface, member, args;
    };
    SignalRecorder();
    ~SignalRecorder();
    std::vector<Signal> signals;
    size_t count(const std::string &member) const { return of(member).size(); }
    std::vector<Signal> of(const std::string &member) const;

private:
    GDBusConnection *connection_;
    guint id_ = 0;
};

}  // namespace tbox::test
