#include "gnss_source.h"

#include <gio/gio.h>

#include "serial_line.h"

namespace tbox::sim {
namespace {

// gpsd's watch with raw NMEA: the receiver's own sentences, so the signals are those of a log.
constexpr char kWatchNmea[] = "?WATCH={\"enable\":true,\"nmea\":true}\n";
constexpr size_t kReadSize = 1024;

class SerialSource : public GnssSource {
public:
    SerialSource(Hub &hub, const std::string &path, int baud, GnssLineHandler handler)
        : handler_(std::move(handler)),
          port_(hub, "gnss", path, baud, [this](const std::string &line) { handler_(line, port_.path(), ++count_); }) {
        hub.say("gnss: reading NMEA from " + path + " at " + std::to_string(baud) + " baud");
        port_.start();
    }

private:
    GnssLineHandler handler_;
    int count_ = 0;
    SerialLines port_;
};

// A gpsd client on the main context: connects without blocking, asks for the NMEA watch, reads lines;
// when gpsd cannot be reached or closes, tries again every kReopenMs.
class GpsdSource : public GnssSource {
public:
    GpsdSource(Hub &hub, std::string address, GnssLineHandler handler)
        : hub_(hub),
          address_(std::move(address)),
          name_("gpsd " + address_),
          handler_(std::move(handler)),
          splitter_(
              [this](const std::string &line) { on_line(line); },
              [this] {
                  hub_.complain("gnss: " + name_ + ": line over " + std::to_string(kLongestLine) + " bytes dropped");
              }),
          context_(g_main_context_ref_thread_default()),
          client_(g_socket_client_new()) {
        hub_.say("gnss: reading NMEA from gpsd at " + address_);
        connect();
    }
    ~GpsdSource() override {
        timers_.cancel_all();
        g_cancellable_cancel(cancellable_);  // a connect under way ends with "cancelled" and touches nothing
        g_object_unref(cancellable_);
        disconnect();
        g_object_unref(client_);
        g_main_context_unref(context_);
    }

private:
    void connect() {
        g_object_unref(cancellable_);
        cancellable_ = g_cancellable_new();
        g_socket_client_connect_to_host_async(client_, address_.c_str(), kGpsdPort, cancellable_, on_connected, this);
    }

    static void on_connected(GObject *client, GAsyncResult *result, gpointer data) {
        GError *error = nullptr;
        GSocketConnection *connection = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(client), result, &error);
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_error_free(error);
            return;  // the source is gone
        }
        auto *self = static_cast<GpsdSource *>(data);
        if (connection == nullptr) {
            if (!self->complained_) {
                self->hub_.complain("gnss: cannot connect to gpsd at " + self->address_ + ": " + error->message +
                                    " (trying again every " + std::to_string(kReopenMs) + " ms)");
            }
            self->complained_ = true;
            g_error_free(error);
            self->retry();
            return;
        }
        self->complained_ = false;
        self->connection_ = connection;
        GSocket *socket = g_socket_connection_get_socket(connection);
        g_socket_set_blocking(socket, FALSE);
        // A fresh connection has room for a few dozen bytes; a refusal shows as a close below.
        g_socket_send(socket, kWatchNmea, sizeof kWatchNmea - 1, nullptr, nullptr);
        self->splitter_.reset();
        self->watch_ =
            g_socket_create_source(socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
        g_source_set_callback(self->watch_, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(on_ready)), self,
                              nullptr);
        g_source_attach(self->watch_, self->context_);
        self->hub_.say("gnss: connected to gpsd at " + self->address_);
    }

    static gboolean on_ready(GSocket *socket, GIOCondition, gpointer data) {
        auto *self = static_cast<GpsdSource *>(data);
        char buffer[kReadSize];
        GError *error = nullptr;
        const gssize n = g_socket_receive(socket, buffer, sizeof buffer, nullptr, &error);
        if (n > 0) {
            self->splitter_.feed(buffer, static_cast<size_t>(n));
            return G_SOURCE_CONTINUE;
        }
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
            g_error_free(error);
            return G_SOURCE_CONTINUE;
        }
        const std::string why = error != nullptr ? error->message : "end of stream";
        g_clear_error(&error);
        self->hub_.say("gnss: " + self->name_ + " closed (" + why + "); connecting again every " +
                       std::to_string(kReopenMs) + " ms");
        self->disconnect();
        self->retry();
        return G_SOURCE_CONTINUE;  // destroyed by disconnect
    }

    // gpsd's own reports are JSON objects; everything else is the receiver's.
    void on_line(const std::string &line) {
        if (line[0] == '{') return;
        handler_(line, name_, ++count_);
    }

    void retry() {
        timers_.after(kReopenMs, [this] { connect(); });
    }

    void disconnect() {
        if (watch_ != nullptr) {
            g_source_destroy(watch_);
            g_source_unref(watch_);
            watch_ = nullptr;
        }
        if (connection_ != nullptr) {
            g_io_stream_close(G_IO_STREAM(connection_), nullptr, nullptr);
            g_object_unref(connection_);
            connection_ = nullptr;
        }
    }

    Hub &hub_;
    std::string address_, name_;
    GnssLineHandler handler_;
    LineSplitter splitter_;
    GMainContext *context_;
    GSocketClient *client_;
    GCancellable *cancellable_ = g_cancellable_new();
    GSocketConnection *connection_ = nullptr;
    GSource *watch_ = nullptr;
    Timers timers_;
    int count_ = 0;
    bool complained_ = false;
};

}  // namespace

std::unique_ptr<GnssSource> start_gnss_source(Hub &hub, GnssLineHandler handler) {
    const Options &o = hub.options();
    if (!o.gnss_device.empty())
        return std::make_unique<SerialSource>(hub, o.gnss_device, o.gnss_baud, std::move(handler));
    if (!o.gpsd.empty()) return std::make_unique<GpsdSource>(hub, o.gpsd, std::move(handler));
    return nullptr;
}

}  // namespace tbox::sim
