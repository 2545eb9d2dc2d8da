// The platform simulator (tools/tbox-simd) run in-process for tests: its own thread, main context and
// bus connection, on the test's private bus unless told otherwise. Header-only: only the simulator's
// tests link its services (tbox_sim).
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <tbox/upgrade_gdbus.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "simulator.h"
#include "support/service_thread.h"
#include "support/test_bus.h"

namespace tbox::test {

class SimRunner {
public:
    // Starts the simulator and waits until it serves every name (or failed: see failure()).
    explicit SimRunner(tbox::sim::Options options = {}) {
        if (options.address.empty()) options.address = private_bus_address();
        std::future<std::string> outcome = ready_.get_future();
        thread_.run([this, &options] {
            sim_ = std::make_unique<tbox::sim::Simulator>(options);
            std::string why;
            if (!sim_->start(why, [this](const std::string &failure) { answer(failure); })) answer(why);
        });
        failure_ = outcome.get();
    }
    ~SimRunner() {
        thread_.run([this] { sim_.reset(); });
    }
    SimRunner(const SimRunner &) = delete;
    SimRunner &operator=(const SimRunner &) = delete;

    // "" once every name is owned and every service started, else why not.
    const std::string &failure() const { return failure_; }
    // Runs one event on the simulator's thread; "" or why it was refused.
    std::string inject(const std::string &event) {
        std::string result;
        run([&] { result = sim_->inject(event); });
        return result;
    }
    std::vector<std::string> received(const std::string &prefix) { return sim_->journal().matching(prefix); }
    // Runs fn on the simulator's thread and waits for it.
    void run(const std::function<void()> &fn) { thread_.run(fn); }

private:
    // The simulator's first outcome (on its thread).
    void answer(const std::string &failure) {
        if (answered_) return;
        answered_ = true;
        ready_.set_value(failure);
    }

    ServiceThread thread_;
    std::unique_ptr<tbox::sim::Simulator> sim_;
    std::promise<std::string> ready_;
    bool answered_ = false;
    std::string failure_;
};

// A second private dbus-daemon, for a second simulator that must not see the first one's bus.
class ExtraBus {
public:
    ExtraBus() { address = start_bus_daemon(pid_, dir_); }
    ~ExtraBus() { stop_bus_daemon(pid_, dir_); }
    ExtraBus(const ExtraBus &) = delete;
    ExtraBus &operator=(const ExtraBus &) = delete;
    std::string address;

private:
    GPid pid_ = 0;
    std::string dir_;
};

// The pid the upgrade service holds as bound (0: none), asked over the system bus as any client would.
inline int bound_pid() {
    GError *error = nullptr;
    gint pid = -1;
    KyUpdate *proxy = ky_update_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.update",
                                                       "/ky/update", nullptr, &error);
    if (proxy != nullptr) ky_update_call_get_bind_id_sync(proxy, &pid, nullptr, &error);
    if (error != nullptr) ADD_FAILURE() << error->message;
    g_clear_error(&error);
    if (proxy != nullptr) g_object_unref(proxy);
    return pid;
}

// A pid that no longer exists: a child that has ended and been reaped.
inline pid_t ended_pid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

}  // namespace tbox::test
