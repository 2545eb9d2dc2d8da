// The platform simulator (tools/tbox-simd) run in-process for tests: its own thread, main context and
// bus connection, on the test's private bus unless told otherwise. Header-only: only the simulator's
// tests link its services (tbox_sim).
#pragma once

#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"
#include "support/test_bus.h"

namespace tbox::test {

class SimRunner {
public:
    // Starts the simulator and waits until it serves every name (or failed: see failure()).
    explicit SimRunner(tbox::sim::Options options = {}) {
        if (options.address.empty()) options.address = private_bus_address();
        std::promise<std::string> ready;
        std::future<std::string> outcome = ready.get_future();
        thread_ = std::thread([this, options, &ready] { serve(options, ready); });
        failure_ = outcome.get();
    }
    ~SimRunner() {
        run([this] { g_main_loop_quit(loop_); });
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
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
    void run(const std::function<void()> &fn) {
        std::promise<void> done;
        auto finished = done.get_future();
        std::pair<const std::function<void()> *, std::promise<void> *> job{&fn, &done};
        GSource *source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                auto *j = static_cast<decltype(job) *>(data);
                (*j->first)();
                j->second->set_value();
                return G_SOURCE_REMOVE;
            },
            &job, nullptr);
        g_source_attach(source, context_);
        g_source_unref(source);
        finished.wait();
    }

private:
    void serve(const tbox::sim::Options &options, std::promise<std::string> &ready) {
        g_main_context_push_thread_default(context_);
        {
            tbox::sim::Simulator sim(options);
            sim_ = &sim;
            bool answered = false;
            std::string why;
            if (!sim.start(why, [&](const std::string &failure) {
                    if (!answered) ready.set_value(failure);
                    answered = true;
                })) {
                ready.set_value(why);
                answered = true;
            }
            g_main_loop_run(loop_);
            sim_ = nullptr;
        }
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
    }

    GMainContext *context_ = g_main_context_new();
    GMainLoop *loop_ = g_main_loop_new(context_, FALSE);
    tbox::sim::Simulator *sim_ = nullptr;
    std::thread thread_;
    std::string failure_;
};

// A second private dbus-daemon, for a second simulator that must not see the first one's bus.
class ExtraBus {
public:
    ExtraBus() {
        gchar *dir = g_dir_make_tmp("tbox-bus2-XXXXXX", nullptr);
        dir_ = dir;
        g_free(dir);
        const std::string config = dir_ + "/bus.conf";
        const std::string xml = "<busconfig><type>system</type><listen>unix:dir=" + dir_ +
                                "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                                "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                "</policy></busconfig>";
        g_file_set_contents(config.c_str(), xml.c_str(), -1, nullptr);
        const std::string config_arg = "--config-file=" + config;
        const char *argv[] = {"dbus-daemon", config_arg.c_str(),  "--nofork",
                              "--nopidfile", "--print-address=1", nullptr};
        gint out = -1;
        if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                      nullptr, nullptr, &pid_, nullptr, &out, nullptr, nullptr)) {
            throw std::runtime_error("cannot start a second dbus-daemon");
        }
        char c;
        while (read(out, &c, 1) == 1 && c != '\n') address.push_back(c);
        close(out);
    }
    ~ExtraBus() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        const std::string command = "rm -rf '" + dir_ + "'";
        if (std::system(command.c_str()) != 0) dir_.clear();
    }
    ExtraBus(const ExtraBus &) = delete;
    ExtraBus &operator=(const ExtraBus &) = delete;
    std::string address;

private:
    GPid pid_ = 0;
    std::string dir_;
};

}  // namespace tbox::test
