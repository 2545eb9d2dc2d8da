// Runs the built tboxctl as a user would: a separate process, pointed at the test's private bus with
// --address only (DBUS_SYSTEM_BUS_ADDRESS is removed from its environment), its output and exit status
// collected. A hung tboxctl is ended after 60 s (exit status 124).
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/test_bus.h"

namespace tbox::test {

struct CtlResult {
    int status = -1;
    std::string out, err;
};

inline CtlResult tboxctl(const std::vector<std::string> &args, const std::vector<std::string> &extra_env = {}) {
    std::vector<std::string> words = {"timeout", "-k", "2", "60", TBOXCTL_PATH, "--address", private_bus_address()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<gchar *> argv;
    for (auto &w : words) argv.push_back(const_cast<gchar *>(w.c_str()));
    argv.push_back(nullptr);
    gchar **env = g_get_environ();
    env = g_environ_unsetenv(env, "DBUS_SYSTEM_BUS_ADDRESS");
    for (const auto &e : extra_env) {
        const size_t eq = e.find('=');
        env = g_environ_setenv(env, e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), TRUE);
    }
    gchar *out = nullptr;
    gchar *err = nullptr;
    gint wait_status = 0;
    CtlResult r;
    if (g_spawn_sync(nullptr, argv.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &wait_status,
                     nullptr)) {
        r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        r.out = out;
        r.err = err;
    }
    g_free(out);
    g_free(err);
    g_strfreev(env);
    return r;
}

// Runs tboxctl while `poke` is called every `period_ms` until it exits: for watch commands, whose events
// the test makes happen (the first pokes may come before tboxctl listens).
template <typename Poke>
CtlResult tboxctl_while(const std::vector<std::string> &args, Poke poke, int period_ms = 150) {
    std::atomic<bool> done{false};
    CtlResult r;
    std::thread runner([&] {
        r = tboxctl(args);
        done = true;
    });
    for (int i = 0; !done && i < 60000 / period_ms; ++i) {
        g_usleep(static_cast<gulong>(period_ms) * 1000);
        if (!done) poke();
    }
    runner.join();
    return r;
}

// tboxctl started in the background (no time limit), one of its outputs read through `fd`; killed if the
// test ends first.
class Background {
public:
    enum Stream { kOut, kErr };
    Background(const std::vector<std::string> &args, Stream stream) {
        std::vector<std::string> words = {TBOXCTL_PATH, "--address", private_bus_address()};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<gchar *> argv;
        for (auto &w : words) argv.push_back(const_cast<gchar *>(w.c_str()));
        argv.push_back(nullptr);
        if (!g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                                      nullptr, stream == kOut ? &fd : nullptr, stream == kErr ? &fd : nullptr,
                                      nullptr)) {
            ADD_FAILURE() << "cannot start tboxctl";
        }
    }
    ~Background() {
        if (pid > 0) kill(pid, SIGKILL);  // a test that stopped early leaves no tboxctl behind
        wait();
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    // Reads into `text` until `needle` has appeared `times` times, or to the end; whether it did.
    bool read_until(const std::string &needle, size_t times = 1) {
        auto count = [&] {
            size_t n = 0;
            for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
            return n;
        };
        char c = 0;
        while (count() < times && fd >= 0 && read(fd, &c, 1) == 1) text.push_back(c);
        return count() >= times;
    }
    // Reads to the end and reaps the process: its exit status, or 128 + the signal that ended it.
    int wait() {
        if (pid <= 0) return status_;
        char c = 0;
        while (fd >= 0 && read(fd, &c, 1) == 1) text.push_back(c);
        if (fd >= 0) close(fd);
        fd = -1;
        int wait_status = 0;
        waitpid(pid, &wait_status, 0);
        pid = 0;
        status_ = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        return status_;
    }

    GPid pid = 0;
    gint fd = -1;
    std::string text;  // what has been read

private:
    int status_ = -1;
};

inline size_t line_count(const std::string &text) {
    size_t n = 0;
    for (const char c : text) n += c == '\n' ? 1 : 0;
    return n;
}

}  // namespace tbox::test
