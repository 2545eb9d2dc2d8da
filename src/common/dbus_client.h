// The moves every D-Bus client module makes: open its proxy, refuse before initialisation, make one
// synchronous call, report the call's error (its message in the module's own line) and free it, then
// turn the outcome into the module's result code. The reports are written in the module, with
// TBOX_REPORT_LOG / TBOX_REPORT_PRINT, so every log line names the module's source file and line.
//
//     int InitParamsInterface(void) {
//         if (g_cliParam != nullptr) return -1;
//         g_cliParam = tbox::client::open_proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param",
//                                               TBOX_REPORT_LOG(err, "Error:new proxy for param[%s]\n"),
//                                               &g_cliParam);
//         return g_cliParam != nullptr ? 0 : -1;
//     }
//     ...
//     const bool ok = tbox::client::call(TBOX_REPORT_LOG(err, "get param error:%s\n"),
//                                        ky_param_call_get_param_type_sync, g_cliParam, paramIndex, &type);
//
// A library must not end its host, and GLib's shared system-bus connection raises SIGTERM when the bus
// goes away (and, while anything still holds it, g_bus_get hands back the closed one). So the proxies
// live on the library's own connection, which survives the bus: calls fail (reported as usual) while
// the bus is gone; the next call, or a retry run every kRetryMs in each proxy's main context, opens a
// new connection and makes each proxy again, with the signal handlers given to `connect`. A module keeps
// the pointer it got from open_proxy: `call`, `current` and `connect` map it to the live proxy, and an
// exported variable given to open_proxy is pointed at the live proxy.
#pragma once

#include <gio/gio.h>

#include <utility>

#include "common/glib_ptr.h"
#include "common/log.h"
#include "tbox/at_gdbus.h"
#include "tbox/gb_gdbus.h"
#include "tbox/gnss_gdbus.h"
#include "tbox/net_gdbus.h"
#include "tbox/param_gdbus.h"
#include "tbox/pm_gdbus.h"
#include "tbox/upgrade_gdbus.h"
#include "tbox/wifi_gdbus.h"

namespace tbox::client {

// How often a proxy whose connection closed tries to come back on its own (when no call brings it back).
constexpr guint kRetryMs = 500;

// The shape of every generated ky_<x>_proxy_new_for_bus_sync.
template <typename Proxy>
using NewProxyForBus = Proxy *(*)(GBusType, GDBusProxyFlags, const gchar *, const gchar *, GCancellable *, GError **);

// A family's generated proxy type and its D-Bus interface.
struct Family {
    GType proxy_type;
    const char *interface;
};
#define TBOX_CLIENT_FAMILY(Type, prefix)                                     \
    inline Family family_of(Type *) {                                        \
        return {prefix##_proxy_get_type(), prefix##_interface_info()->name}; \
    }
TBOX_CLIENT_FAMILY(KyAt, ky_at)
TBOX_CLIENT_FAMILY(KyGbreal, ky_gbreal)
TBOX_CLIENT_FAMILY(KyGnss, ky_gnss)
TBOX_CLIENT_FAMILY(KyNet, ky_net)
TBOX_CLIENT_FAMILY(KyParam, ky_param)
TBOX_CLIENT_FAMILY(KyPm, ky_pm)
TBOX_CLIENT_FAMILY(KyUpdate, ky_update)
TBOX_CLIENT_FAMILY(KyWifi, ky_wifi)
#undef TBOX_CLIENT_FAMILY

// The untyped moves (dbus_client.cpp); thread-safe.
// Makes a proxy of `family` on the library's connection (opened if need be) and registers it; its
// signals are delivered in the calling thread's thread-default main context, now and after a restart.
// `exported`, if given, follows the live proxy.
gpointer open(const Family &family, const char *name, const char *path, gpointer *exported, GError **error);
// A new reference to the live proxy of `proxy` (a module's handle, or any proxy it was), reconnecting if
// the bus connection closed; null with `error` set when the bus is not back. Unregistered proxies are
// handed back as they are.
gpointer hold(gpointer proxy, GError **error);
// The live proxy of `proxy` (brought back if the bus is), without a new reference: proxies of a module
// stay alive until it releases them.
gpointer current(gpointer proxy);
// Connects `handler` (user data null) to `signal` of the live proxy of `proxy`, and of every later one.
void connect(gpointer proxy, const char *signal, GCallback handler);
// Drops `proxy` and every earlier proxy of its module (their handlers go with them); the module's
// exported variable is left to the module.
void release(gpointer proxy);

// Creates the proxy of `name` at `path` on the system bus, without flags or cancellable; `make` names
// the family (the proxy is made on the library's connection rather than GLib's shared one). `exported`,
// if given, is the module's exported proxy variable, kept pointing at the live proxy. On failure hands
// GIO's message to `report`, frees the error and returns null.
template <typename Proxy, typename Report>
Proxy *open_proxy(NewProxyForBus<Proxy> /*make*/, const char *name, const char *path, Report &&report,
                  Proxy **exported = nullptr) {
    GErrorOut error;
    gpointer proxy =
        open(family_of(static_cast<Proxy *>(nullptr)), name, path, reinterpret_cast<gpointer *>(exported), error.out());
    if (proxy == nullptr) std::forward<Report>(report)(error.message());
    return static_cast<Proxy *>(proxy);
}

// One synchronous call: fn(proxy, args..., no cancellable, &error), fn being a generated
// ky_<x>_call_<method>_sync, on the live proxy of `proxy`. Returns whether it succeeded; on failure
// (the bus gone included) hands the error's message to `report` and frees the error. A null proxy
// (module not initialised) sends nothing, reports nothing and returns false: modules that log their
// refusal do so before calling.
template <typename Report, typename Fn, typename Proxy, typename... Args>
bool call(Report &&report, Fn fn, Proxy *proxy, Args &&...args) {
    if (proxy == nullptr) return false;
    GErrorOut error;
    const Owned<Proxy, g_object_unref> live(static_cast<Proxy *>(hold(proxy, error.out())));
    if (live && fn(live.get(), std::forward<Args>(args)..., nullptr, error.out())) return true;
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
