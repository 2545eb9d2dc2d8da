// Iterates a main context until a condition holds or a time-out passes.
#pragma once

#include <glib.h>

#include <functional>

namespace tbox::test {

// Returns whether `done` became true within `timeout_ms` (default context when ctx is null).
inline bool pump_until(const std::function<bool()> &done, int timeout_ms = 5000, GMainContext *ctx = nullptr) {
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
    while (!done()) {
        if (g_get_monotonic_time() >= deadline) return false;
        if (!g_main_context_iteration(ctx, FALSE)) g_usleep(1000);
    }
    return true;
}

// Iterates the context for `ms` milliseconds (to show that something does *not* arrive).
inline void pump_for(int ms, GMainContext *ctx = nullptr) {
    pump_until([] { return false; }, ms, ctx);
}

}  // namespace tbox::test
