#include "support/fake_service.h"

#include <stdexcept>

#include "support/pump.h"
#include "support/test_bus.h"

namespace tbox::test {
namespace {

void marshal_handler(GClosure *closure, GValue *return_value, guint n_params, const GValue *params, gpointer,
                     gpointer) {
    auto *handler = static_cast<FakeService::Handler *>(closure->data);
    GDBusMethodInvocation *invocation = nullptr;
    if (n_params >= 2) invocation = G_DBUS_METHOD_INVOCATION(g_value_get_object(&params[1]));
    const bool handled = (*handler)(invocation);
    if (return_value != nullptr) g_value_set_boolean(return_value, handled);
}

void free_handler(gpointer data, GClosure *) {
    delete static_cast<FakeService::Handler *>(data);
}

}  // namespace

GDBusConnection *open_bus_connection() {
    GError *error = nullptr;
    GDBusConnection *c = g_dbus_connection_new_for_address_sync(
        private_bus_address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (c == nullptr) {
        std::string msg = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot connect to test bus: " + msg);
    }
    return c;
}

FakeService::FakeService(std::string bus_name, std::string object_path, SkeletonFactory factory)
    : bus_name_(std::move(bus_name)), object_path_(std::move(object_path)), factory_(std::move(factory)) {
    private_bus_address();
    thread_ = std::thread([this] { serve(); });
    std::unique_lock<std::mutex> lock(mutex_);
    ready_cv_.wait(lock, [this] { return ready_; });
    if (!error_.empty()) {
        lock.unlock();
        thread_.join();
        throw std::runtime_error(error_);
    }
}

FakeService::~FakeService() {
    if (loop_ != nullptr) {
        run([this] { g_main_loop_quit(loop_); });
    }
    if (thread_.joinable()) thread_.join();
}

void FakeService::serve() {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    GError *error = nullptr;
    try {
        connection_ = open_bus_connection();
    } catch (const std::exception &e) {
        error_ = e.what();
    }
    if (connection_ != nullptr) {
        g_dbus_connection_add_filter(connection_, &FakeService::filter, this, nullptr);
        skeleton_ = factory_();
        if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton_), connection_, object_path_.c_str(),
                                              &error)) {
            error_ = std::string("export failed: ") + error->message;
            g_clear_error(&error);
        } else {
            GVariant *reply = g_dbus_connection_call_sync(
                connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", bus_name_.c_str(), 4u /* DO_NOT_QUEUE */), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
            if (reply == nullptr) {
                error_ = std::string("RequestName failed: ") + error->message;
                g_clear_error(&error);
            } else {
                guint32 code = 0;
                g_variant_get(reply, "(u)", &code);
                g_variant_unref(reply);
                if (code != 1) error_ = "name " + bus_name_ + " not granted";
            }
        }
    }
    if (error_.empty()) loop_ = g_main_loop_new(context_, FALSE);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_ = true;
    }
    ready_cv_.notify_all();
    if (loop_ != nullptr) g_main_loop_run(loop_);

    if (skeleton_ != nullptr) {
        g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton_));
        g_object_unref(skeleton_);
    }
    if (connection_ != nullptr) {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    }
    // Let pending idle callbacks of this context release what they hold.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    if (loop_ != nullptr) g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
}

void FakeService::handle(const char *gobject_signal, Handler handler) {
    GClosure *closure = g_closure_new_simple(sizeof(GClosure), new Handler(std::move(handler)));
    g_closure_set_marshal(closure, marshal_handler);
    g_closure_add_finalize_notifier(closure, closure->data, free_handler);
    g_signal_connect_closure(skeleton_, gobject_signal, closure, FALSE);
}

void FakeService::run(const std::function<void()> &fn) {
    struct Job {
        const std::function<void()> *fn;
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    } job;
    job.fn = &fn;
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto *j = static_cast<Job *>(data);
            (*j->fn)();
            std::lock_guard<std::mutex> lock(j->m);
            j->done = true;
            j->cv.notify_all();
            return G_SOURCE_REMOVE;
        },
        &job);
    std::unique_lock<std::mutex> lock(job.m);
    job.cv.wait(lock, [&job] { return job.done; });
}

std::string FakeService::unique_name() const {
    return g_dbus_connection_get_unique_name(connection_);
}

GDBusMessage *FakeService::filter(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer self) {
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        auto *service = static_cast<FakeService *>(self);
        ReceivedCall call;
        const char *iface = g_dbus_message_get_interface(message);
        call.interface = iface != nullptr ? iface : "";
        call.member = g_dbus_message_get_member(message);
        GVariant *body = g_dbus_message_get_body(message);
        if (body != nullptr) {
            gchar *printed = g_variant_print(body, FALSE);
            call.args = printed;
            g_free(printed);
        } else {
            call.args = "()";
        }
        std::lock_guard<std::mutex> lock(service->mutex_);
        service->calls_.push_back(std::move(call));
    }
    return message;
}

std::vector<ReceivedCall> FakeService::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

size_t FakeService::count(const std::string &member) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto &c : calls_) n += c.member == member ? 1 : 0;
    return n;
}

std::vector<std::string> FakeService::calls_to(const std::string &member) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &c : calls_) {
        if (c.member == member) out.push_back(c.args);
    }
    return out;
}

SignalRecorder::SignalRecorder(GDBusConnection *connection) {
    private_bus_address();
    if (connection == nullptr) {
        connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    } else {
        g_object_ref(connection);
    }
    connection_ = connection;
    id_ = g_dbus_connection_signal_subscribe(
        connection_, nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection *, const gchar *sender, const gchar *path, const gchar *iface, const gchar *member,
           GVariant *params, gpointer self) {
            Signal s{sender != nullptr ? sender : "", path, iface, member, ""};
            gchar *printed = g_variant_print(params, FALSE);
            s.args = printed;
            g_free(printed);
            static_cast<SignalRecorder *>(self)->signals_.push_back(std::move(s));
        },
        this, nullptr);
    // Make sure the bus has the match rule before the test emits anything.
    GVariant *r = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                              -1, nullptr, nullptr);
    if (r != nullptr) g_variant_unref(r);
}

SignalRecorder::~SignalRecorder() {
    g_dbus_connection_signal_unsubscribe(connection_, id_);
    g_object_unref(connection_);
}

size_t SignalRecorder::count(const std::string &member) const {
    size_t n = 0;
    for (const auto &s : signals_) n += s.member == member ? 1 : 0;
    return n;
}

}  // namespace tbox::test
