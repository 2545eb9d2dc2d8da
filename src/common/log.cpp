#include "common/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace tbox::log {
namespace {

std::mutex g_sinkMutex;
Sink g_sink = nullptr;
void *g_sinkUser = nullptr;

}  // namespace

void set_sink(Sink sink, void *user) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = sink;
    g_sinkUser = user;
}

void write(int priority, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    {
        std::unique_lock<std::mutex> lock(g_sinkMutex);
        if (g_sink != nullptr) {
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
            g_sink(priority, line.c_str(), g_sinkUser);
            va_end(args);
            return;
        }
    }
    vsyslog(priority, fmt, args);
    va_end(args);
}

}  // namespace tbox::log
