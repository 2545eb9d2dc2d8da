#include "support/fake_service.h"

#include <memory>
#include <stdexcept>
#include <utility>

#include "support/test_bus.h"

namespace tbox::test {
namespace {

// g_variant_print without type annotations; "()" for no value.
std::string printed(GVariant *value) {
    if (value == nullptr) return "()";
    gchar *text = g_variant_print(value, FALSE);
    std::string out = text;
    g_free(text);
    return out;
}

}  // namespace

GDBusConnection *open_bus_connection() {
    GDBusConnection *c = g_dbus_connection_new_for_address_sync(
        private_bus_address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (c == nullptr) throw std::runtime_error("cannot connect to the test bus");
    return c;
}

void CallRecorder::attach(GDBusConnection *connection) {
    g_dbus_connection_add_filter(
        connection,
        [](GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer self) -> GDBusMessage * {
            if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
                auto *recorder = static_cast<CallRecorder *>(self);
                const char *interface = g_dbus_message_get_interface(message);
                Call call{interface != nullptr ? interface : "", g_dbus_message_get_member(message),
                          printed(g_dbus_message_get_body(message))};
                std::lock_guard<std::mutex> lock(recorder->mutex_);
                recorder->calls_.push_back(std::move(call));
            }
            return message;
        },
        this, nullptr);
}

std::vector<std::string> CallRecorder::calls_to(const std::string &member) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &call : calls_) {
        if (call.member == member) out.push_back(call.args);
    }
    return out;
}

std::vector<std::string> CallRecorder::members() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &call : calls_) {
        if (call.interface.rfind("org.freedesktop.DBus", 0) != 0) out.push_back(call.member);
    }
    return out;
}

FakeService::FakeService(const std::string &bus_name, const std::string &path,
                         const std::function<gpointer()> &factory) {
    private_bus_address();
    // Returns once the service thread has exported the skeleton and owns the name.
    thread_.run([&] {
        connection_ = open_bus_connection();
        calls_.attach(connection_);
        skeleton_ = factory();
        g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton_), connection_, path.c_str(), nullptr);
        GVariant *reply = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "RequestName",
                                                      g_variant_new("(su)", bus_name.c_str(), 4u /* DO_NOT_QUEUE */),
                                                      nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (reply != nullptr) g_variant_unref(reply);
    });
}

FakeService::~FakeService() {
    thread_.run([this] {
        g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton_));
        g_object_unref(skeleton_);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    });
    thread_.stop();  // before the recorder goes: pending callbacks may still hold the connection
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

std::string get_all(const char *name, const char *path, const char *interface) {
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    GVariant *all = g_dbus_connection_call_sync(bus, name, path, "org.freedesktop.DBus.Properties", "GetAll",
                                                g_variant_new("(s)", interface), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                                nullptr, nullptr);
    g_object_unref(bus);
    if (all == nullptr) return "error";
    std::string out = printed(all);
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
            static_cast<SignalRecorder *>(self)->signals.push_back({sender, path, iface, member, printed(params)});
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
