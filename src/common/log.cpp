#include "common/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace tbox::log {
namespace {

// Without a sink (always, outside tests) a line goes to syslog without taking any lock of ours.
std::mutex g_sinkMutex;
std::atomic<Sink> g_sink{nullptr};  // written under g_sinkMutex
void *g_sinkUser = nullptr;         // guarded by g_sinkMutex

}  // namespace

void set_sink(Sink sink, void *user) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink.store(sink, std::memory_order_release);
    g_sinkUser = user;
}

bool enabled(int priority) {
    return g_sink.load(std::memory_order_acquire) != nullptr || (setlogmask(0) & LOG_MASK(priority)) != 0;
}

void write(int priority, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (g_sink.load(std::memory_order_acquire) != nullptr) {
        std::unique_lock<std::mutex> lock(g_sinkMutex);
        const Sink sink = g_sink.load(std::memory_order_relaxed);
        if (sink != nullptr) {
            char stack[512];
            va_list copy;
            va_copy(copy, args);
            // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): `copy` is a va_copy of the started list
            int n = std::vsnprintf(stack, sizeof stack, fmt, copy);
            va_end(copy);
            std::string line;
            if (n >= 0 && static_cast<size_t>(n) < sizeof stack) {
                line.assign(stack, static_cast<size_t>(n));
            } else if (n >= 0) {
                line.resize(static_cast<size_t>(n) + 1);
                va_list again;
                va_copy(again, args);
                std::vsnprintf(line.data(), line.size(), fmt, again);
                va_end(again);
                line.resize(static_cast<size_t>(n));
            }
            sink(priority, line.c_str(), g_sinkUser);
            va_end(args);
            return;
        }
    }
    vsyslog(priority, fmt, args);
    va_end(args);
}

}  // namespace tbox::log
