// The moves every D-Bus client module makes: open its proxy, refuse before initialisation, make one
// synchronous call, report the call's error (its message in the module's own line) and free it, then
// turn the outcome into the module's result code. The reports are written in the module, with
// TBOX_REPORT_LOG / TBOX_REPORT_PRINT, so every log line names the module's source file and line.
//
//     int InitParamsInterface(void) {
//         if (g_cliParam != nullptr) return -1;
//         g_cliParam = tbox::client::open_proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param",
//                                               TBOX_REPORT_LOG(err, "Error:new proxy for param[%s]\n"));
//         return g_cliParam != nullptr ? 0 : -1;
//     }
//     ...
//     const bool ok = tbox::client::call(TBOX_REPORT_LOG(err, "get param error:%s\n"),
//                                        ky_param_call_get_param_type_sync, g_cliParam, paramIndex, &type);
#pragma once

#include <gio/gio.h>

#include <utility>

#include "common/glib_ptr.h"
#include "common/log.h"

namespace tbox::client {

// The shape of every generated ky_<x>_proxy_new_for_bus_sync.
template <typename Proxy>
using NewProxyForBus = Proxy *(*)(GBusType, GDBusProxyFlags, const gchar *, const gchar *, GCancellable *, GError **);

// Creates the proxy of `name` at `path` on the system bus, without flags or cancellable. On failure
// hands GIO's message to `report`, frees the error and returns null.
template <typename Proxy, typename Report>
Proxy *open_proxy(NewProxyForBus<Proxy> make, const char *name, const char *path, Report &&report) {
    GErrorOut error;
    Proxy *proxy = make(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, name, path, nullptr, error.out());
    if (proxy == nullptr) std::forward<Report>(report)(error.message());
    return proxy;
}

// One synchronous call: fn(proxy, args..., no cancellable, &error), fn being a generated
// ky_<x>_call_<method>_sync. Returns whether it succeeded; on failure hands the error's message to
// `report` and frees the error. A null proxy (module not initialised) sends nothing, reports nothing
// and returns false: modules that log their refusal do so before calling.
template <typename Report, typename Fn, typename Proxy, typename... Args>
bool call(Report &&report, Fn fn, Proxy *proxy, Args &&...args) {
    if (proxy == nullptr) return false;
    GErrorOut error;
    if (fn(proxy, std::forward<Args>(args)..., nullptr, error.out())) return true;
    std::forward<Report>(report)(error.message());
    return false;
}

// For calls whose failure is not reported anywhere.
inline void no_report(const char * /*message*/) {}

// D-Bus strings must be UTF-8; GLib would otherwise send a placeholder and report success. Modules
// refuse a caller's text that fails this before sending anything.
inline bool is_utf8(const char *text) {
    return text != nullptr && g_utf8_validate(text, -1, nullptr);
}

}  // namespace tbox::client

// A report that logs `fmt` at `level` (debug, info, warn, err) from the line where it is written; the
// error's message fills the last conversion of `fmt`, after the other arguments given here.
#define TBOX_REPORT_LOG(level, fmt, ...) \
    [&](const char *message_) { TBOX_LOG(level, fmt, __VA_ARGS__ __VA_OPT__(, ) message_); }

// The same for the modules that print plain lines on standard output.
#define TBOX_REPORT_PRINT(fmt, ...) [&](const char *message_) { g_print(fmt, __VA_ARGS__ __VA_OPT__(, ) message_); }
