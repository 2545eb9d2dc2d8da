// The library's one logging helper: " [<level>] <source base name>-<line>:<message>" to syslog.
#pragma once

#include <cstdarg>

namespace tbox::log {

enum Priority : int { kErr = 3, kWarn = 4, kInfo = 6, kDebug = 7 };

// Receives every formatted line instead of syslog while set. Tests use it; never exported.
using Sink = void (*)(int priority, const char *line, void *user);
void set_sink(Sink sink, void *user);

void write(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Whether a line of `priority` goes anywhere: a sink takes every line, syslog those its mask lets pass
// (setlogmask). One look at the mask; a caller that logs several lines at one level asks once.
bool enabled(int priority);

constexpr const char *base_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/') base = p + 1;
    }
    return base;
}

// Where a line is reported from: a source base name and a line. Code that reports on behalf of a
// caller (the queue channels, the digest body) is handed the caller's site and logs at it.
struct Site {
    const char *source;
    int line;
};

}  // namespace tbox::log

#define TBOX_LOG_PRIO_debug ::tbox::log::kDebug
#define TBOX_LOG_PRIO_info ::tbox::log::kInfo
#define TBOX_LOG_PRIO_warn ::tbox::log::kWarn
#define TBOX_LOG_PRIO_err ::tbox::log::kErr

// TBOX_LOG_AT(source, line, level, fmt, ...) writes " [<level>] <source>-<line>:" and the message: for
// code that reports on behalf of a caller (the queue channels name the exported function's line). The
// whole line is one literal format, so syslog drops a filtered line before anything is formatted.
#define TBOX_LOG_AT(source, line, level, fmt, ...) \
    ::tbox::log::write(TBOX_LOG_PRIO_##level, " [" #level "] %s-%d:" fmt, (source), (line)__VA_OPT__(, ) __VA_ARGS__)

// A source file that carries on lines of another (a module split into several files) defines
// TBOX_LOG_SOURCE to that file's name before its first include; its lines then keep that base name.
#ifndef TBOX_LOG_SOURCE
#define TBOX_LOG_SOURCE __FILE__
#endif

// TBOX_LOG(err, "send At error:%s\n", msg) writes " [err] at_api.cpp-42:send At error:...".
#define TBOX_LOG(level, fmt, ...) \
    TBOX_LOG_AT(::tbox::log::base_name(TBOX_LOG_SOURCE), __LINE__, level, fmt __VA_OPT__(, ) __VA_ARGS__)

// The site of the line where it is written, under the file's base name (or TBOX_LOG_SOURCE's).
#define TBOX_LOG_SITE (::tbox::log::Site{::tbox::log::base_name(TBOX_LOG_SOURCE), __LINE__})

// TBOX_LOG_AT_SITE(site, warn, "...") logs as if the line had been written at `site`.
#define TBOX_LOG_AT_SITE(site, level, fmt, ...) \
    TBOX_LOG_AT((site).source, (site).line, level, fmt __VA_OPT__(, ) __VA_ARGS__)
