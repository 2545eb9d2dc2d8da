#include "common/dbus_client.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tbox::client {
namespace {

// One module's proxy through the bus's lives. It owns `live` and every `earlier` proxy: another thread
// may still hold an earlier pointer (read from a module variable before the swap), which then maps to
// `live`.
struct Entry {
    Family family{};
    std::string name, path;
    GMainContext *context = nullptr;  // where the module's signals are delivered
    gpointer live = nullptr;          // null once released
    std::vector<gpointer> earlier;
    gpointer *exported = nullptr;
    std::vector<std::pair<std::string, GCallback>> handlers;
    bool retrying = false;
};

std::mutex g_mutex;
std::vector<std::unique_ptr<Entry>> g_entries;  // never shrinks: retry sources point at entries
GDBusConnection *g_connection = nullptr;
gulong g_closedHandler = 0;

void schedule_retries_locked();

void on_closed(GDBusConnection * /*connection*/, gboolean /*vanished*/, GError * /*error*/, gpointer /*data*/) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    schedule_retries_locked();
}

// The library's system-bus connection, opened again once it closed. It does not end the process when
// the bus goes (exit-on-close stays FALSE, unlike GLib's shared connection).
GDBusConnection *connection_locked(GError **error) {
    if (g_connection != nullptr && !g_dbus_connection_is_closed(g_connection)) return g_connection;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
    if (address == nullptr) return nullptr;
    GDBusConnection *fresh = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error);
    g_free(address);
    if (fresh == nullptr) return nullptr;
    g_dbus_connection_set_exit_on_close(fresh, FALSE);
    if (g_connection != nullptr) {
        g_signal_handler_disconnect(g_connection, g_closedHandler);
        g_object_unref(g_connection);  // the proxies made on it keep it as long as they need
    }
    g_connection = fresh;
    g_closedHandler = g_signal_connect(fresh, "closed", G_CALLBACK(on_closed), nullptr);
    return fresh;
}

gpointer make_proxy(const Entry &entry, GDBusConnection *connection, GError **error) {
    gpointer proxy = g_initable_new(entry.family.proxy_type, nullptr, error, "g-flags", G_DBUS_PROXY_FLAGS_NONE,
                                    "g-name", entry.name.c_str(), "g-connection", connection, "g-object-path",
                                    entry.path.c_str(), "g-interface-name", entry.family.interface, nullptr);
    if (proxy == nullptr) return nullptr;
    for (const auto &[signal, handler] : entry.handlers) g_signal_connect(proxy, signal.c_str(), handler, nullptr);
    return proxy;
}

// A proxy subscribes to its signals in the thread-default main context of the thread making it, so a
// new one is made where that is the module's context: here, or here with the context pushed when no
// other thread runs it. Otherwise the retry, run by that context, makes it.
gpointer make_in_context(Entry &entry, GDBusConnection *connection, GError **error) {
    GMainContext *here = g_main_context_ref_thread_default();
    const bool same = here == entry.context;
    g_main_context_unref(here);
    if (same) return make_proxy(entry, connection, error);
    if (!g_main_context_acquire(entry.context)) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CLOSED, "The connection is closed");
        return nullptr;
    }
    g_main_context_push_thread_default(entry.context);
    gpointer proxy = make_proxy(entry, connection, error);
    g_main_context_pop_thread_default(entry.context);
    g_main_context_release(entry.context);
    return proxy;
}

// Brings `entry` onto the live connection; false (error set) while the bus is not back.
bool refresh_locked(Entry &entry, GError **error) {
    GDBusConnection *connection = connection_locked(error);
    if (connection == nullptr) return false;
    if (g_dbus_proxy_get_connection(G_DBUS_PROXY(entry.live)) == connection) return true;
    gpointer fresh = make_in_context(entry, connection, error);
    if (fresh == nullptr) return false;
    entry.earlier.push_back(entry.live);
    entry.live = fresh;
    if (entry.exported != nullptr) __atomic_store_n(entry.exported, fresh, __ATOMIC_RELEASE);
    return true;
}

gboolean retry(gpointer data) {
    auto &entry = *static_cast<Entry *>(data);
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (entry.live != nullptr && !refresh_locked(entry, nullptr)) return G_SOURCE_CONTINUE;
    entry.retrying = false;
    return G_SOURCE_REMOVE;
}

// Every module comes back by itself, so its signals do too, whether or not anything calls it.
void schedule_retries_locked() {
    for (const auto &entry : g_entries) {
        if (entry->live == nullptr || entry->retrying) continue;
        entry->retrying = true;
        GSource *source = g_timeout_source_new(kRetryMs);
        g_source_set_callback(source, retry, entry.get(), nullptr);
        g_source_attach(source, entry->context);
        g_source_unref(source);
    }
}

Entry *find_locked(gpointer proxy) {
    for (const auto &entry : g_entries) {
        if (entry->live == nullptr) continue;
        if (entry->live == proxy ||
            std::find(entry->earlier.begin(), entry->earlier.end(), proxy) != entry->earlier.end()) {
            return entry.get();
        }
    }
    return nullptr;
}

}  // namespace

gpointer open(const Family &family, const char *name, const char *path, gpointer *exported, GError **error) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    GDBusConnection *connection = connection_locked(error);
    if (connection == nullptr) return nullptr;
    auto entry = std::make_unique<Entry>();
    entry->family = family;
    entry->name = name;
    entry->path = path;
    entry->live = make_proxy(*entry, connection, error);
    if (entry->live == nullptr) return nullptr;
    entry->context = g_main_context_ref_thread_default();
    entry->exported = exported;
    if (exported != nullptr) __atomic_store_n(exported, entry->live, __ATOMIC_RELEASE);
    g_entries.push_back(std::move(entry));
    return g_entries.back()->live;
}

gpointer hold(gpointer proxy, GError **error) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    Entry *entry = find_locked(proxy);
    if (entry == nullptr) return g_object_ref(proxy);
    if (!refresh_locked(*entry, error)) {
        schedule_retries_locked();
        return nullptr;
    }
    return g_object_ref(entry->live);
}

gpointer current(gpointer proxy) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    Entry *entry = find_locked(proxy);
    if (entry == nullptr) return proxy;
    if (!refresh_locked(*entry, nullptr)) schedule_retries_locked();
    return entry->live;
}

void connect(gpointer proxy, const char *signal, GCallback handler) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    Entry *entry = find_locked(proxy);
    if (entry != nullptr) {
        entry->handlers.emplace_back(signal, handler);
        proxy = entry->live;
    }
    g_signal_connect(proxy, signal, handler, nullptr);
}

void release(gpointer proxy) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    Entry *entry = find_locked(proxy);
    if (entry == nullptr) {
        g_object_unref(proxy);
        return;
    }
    for (gpointer each : entry->earlier) g_object_unref(each);
    g_object_unref(entry->live);
    entry->earlier.clear();
    entry->live = nullptr;
    entry->exported = nullptr;
    entry->handlers.clear();
}

}  // namespace tbox::client
