#include "support/fake_service.h"

#include <future>
#include <memory>
#include <stdexcept>

#include "support/test_bus.h"

namespace tbox::test {

GDBusConnection *open_bus_connection() {
    GDBusConnection *c = g_dbus_connection_new_for_address_sync(
        private_bus_address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (c == nullptr) throw std::runtime_error("cannot connect to the test bus");
    return c;
}

FakeService::FakeService(std::string bus_name, std::string path, std::function<gpointer()> factory) {
    private_bus_address();
    thread_ = std::thread([this, bus_name, path, factory] { serve(bus_name, path, factory); });
    run([] {});  // returns once the service thread has exported the skeleton and owns the name
}

FakeService::~FakeService() {
    g_main_loop_quit(loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void FakeService::serve(const std::string &bus_name, const std::string &path,
                        const std::function<gpointer()> &factory) {
    g_main_context_push_thread_default(context_);
    GDBusConnection *connection = open_bus_connection();
    g_dbus_connection_add_filter(
        connection,
        [](GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer self) -> GDBusMessage * {
            if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
                auto *service = static_cast<FakeService *>(self);
                GVariant *body = g_dbus_message_get_body(message);
                gchar *args = body != nullptr ? g_variant_print(body, FALSE) : g_strdup("()");
                std::lock_guard<std::mutex> lock(service->mutex_);
                const char *interface = g_dbus_message_get_interface(message);
                service->calls_.push_back(
                    {interface != nullptr ? interface : "", g_dbus_message_get_member(message), args});
                g_free(args);
            }
            return message;
        },
        this, nullptr);
    skeleton_ = factory();
    g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton_), connection, path.c_str(), nullptr);
    GVariant *reply =
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "RequestName", g_variant_new("(su)", bus_name.c_str(), 4u /* DO_NOT_QUEUE */),
                                    nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (reply != nullptr) g_variant_unref(reply);
    g_main_loop_run(loop_);

    g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton_));
    g_object_unref(skeleton_);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    while (g_main_context_iteration(context_, FALSE)) {
    }  // let pending idle callbacks release what they hold
    g_main_context_pop_thread_default(context_);
}

void FakeService::handle(const char *gobject_signal, Handler handler) {
    GClosure *closure = g_closure_new_simple(sizeof(GClosure), new Handler(std::move(handler)));
    g_closure_set_marshal(closure, [](GClosure *c, GValue *result, guint, const GValue *params, gpointer, gpointer) {
        auto *invocation = G_DBUS_METHOD_INVOCATION(g_value_get_object(&params[1]));
        g_value_set_boolean(result, (*static_cast<Handler *>(c->data))(invocation));
    });
    g_closure_add_finalize_notifier(closure, closure->data,
                                    [](gpointer data, GClosure *) { delete static_cast<Handler *>(data); });
    g_signal_connect_closure(skeleton_, gobject_signal, closure, FALSE);
}

void FakeService::reply(const char *gobject_signal, GVariant *value) {
    std::shared_ptr<GVariant> held;
    if (value != nullptr) held.reset(g_variant_ref_sink(value), g_variant_unref);
    handle(gobject_signal, [held](GDBusMethodInvocation *invocation) {
        g_dbus_method_invocation_return_value(invocation, held.get());  // a non-floating value is not consumed
        return true;
    });
}

void FakeService::run(const std::function<void()> &fn) {
    // An attached source always runs on the service thread (g_main_context_invoke might run it here).
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::pair<const std::function<void()> *, std::promise<void> *> job{&fn, &done};
    GSource *source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto *j = static_cast<std::pair<const std::function<void()> *, std::promise<void> *> *>(data);
            (*j->first)();
            j->second->set_value();
            return G_SOURCE_REMOVE;
        },
        &job, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
    finished.wait();
}

std::vector<std::string> FakeService::calls_to(const std::string &member) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &call : calls_) {
        if (call.member == member) out.push_back(call.args);
    }
    return out;
}

std::vector<std::string> FakeService::members() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &call : calls_) {
        if (call.interface.rfind("org.freedesktop.DBus", 0) != 0) out.push_back(call.member);
    }
    return out;
}

std::string get_all(const char *name, const char *path, const char *interface) {
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    GVariant *all = g_dbus_connection_call_sync(bus, name, path, "org.freedesktop.DBus.Properties", "GetAll",
                                                g_variant_new("(s)", interface), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                                nullptr, nullptr);
    g_object_unref(bus);
    if (all == nullptr) return "error";
    gchar *printed = g_variant_print(all, FALSE);
    std::string out = printed;
    g_free(printed);
    g_variant_unref(all);
    return out;
}

SignalRecorder::SignalRecorder() {
    private_bus_address();
    connection_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    id_ = g_dbus_connection_signal_subscribe(
        connection_, nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection *, const gchar *sender, const gchar *path, const gchar *iface, const gchar *member,
           GVariant *params, gpointer self) {
            if (g_strcmp0(sender, "org.freedesktop.DBus") == 0) return;
            gchar *args = g_variant_print(params, FALSE);
            static_cast<SignalRecorder *>(self)->signals.push_back({sender, path, iface, member, args});
            g_free(args);
        },
        this, nullptr);
    // A round trip makes sure the bus has the match rule before the test emits anything.
    GVariant *r = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                              -1, nullptr, nullptr);
    if (r != nullptr) g_variant_unref(r);
}

SignalRecorder::~SignalRecorder() {
    g_dbus_connection_signal_unsubscribe(connection_, id_);
    g_object_unref(connection_);
}

std::vector<SignalRecorder::Signal> SignalRecorder::of(const std::string &member) const {
    std::vector<Signal> out;
    for (const auto &s : signals) {
        if (s.member == member) out.push_back(s);
    }
    return out;
}

}  // namespace tbox::test
