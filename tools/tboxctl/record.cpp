// tboxctl record: every signal and property change of the platform services, with the time between
// them, written as a scenario that tbox-simd --scenario plays back (docs/simulator.md, "Recordings").
//
// It listens on a connection of its own: as a monitor of the bus (org.freedesktop.DBus.Monitoring) where
// the bus allows it, else with one match rule per service. Each message is stamped and written as one
// line by one write() in GDBus's worker thread, as it arrives, so a recorder that is killed leaves a
// file that is valid up to its last event. SIGINT, SIGTERM and --duration end it cleanly.
#include <fcntl.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cli.h"

namespace tboxctl {
namespace {

// A recorded service: its name in --services and in the scenario's verbs (the simulator's prefix),
// its interface and object path.
struct Watched {
    const char *name;
    const char *iface;
    const char *path;
};
constexpr Watched kServices[] = {
    {"at", "ky.at", "/ky/at"},
    {"bt", "ky.bt", "/ky/bt"},
    {"ecall", "ky.ecall", "/ky/ecall"},
    {"gb", "ky.gbreal", "/ky/gbreal"},
    {"gnss", "ky.gnss", "/ky/gnss"},
    {"gsensor", "ky.gsensor", "/ky/gsensor"},
    {"monitor", "ky.monitor", "/ky/monitor"},
    {"net", "ky.net", "/ky/net"},
    {"param", "ky.param", "/ky/param"},
    {"pm", "ky.pm", "/ky/pm"},
    {"update", "ky.update", "/ky/update"},
    {"wifi", "ky.wifi", "/ky/wifi"},
};
constexpr const char *kProperties = "org.freedesktop.DBus.Properties";

// What the worker thread's filter shares with the main thread.
struct Recording {
    std::mutex mutex;
    int fd = -1;
    gint64 start_us = 0;
    std::vector<const Watched *> services;
    bool monitoring = false;
    bool open = false;               // the header is written: lines go to the file
    bool stopped = false;            // no more lines
    std::vector<std::string> early;  // lines that came before the header
    long long events = 0;
    std::string write_error;
};
Recording g_recording;

const Watched *watched(const char *iface) {
    for (const Watched *w : g_recording.services) {
        if (g_strcmp0(w->iface, iface) == 0) return w;
    }
    return nullptr;
}

// A value as one scenario argument: GVariant text in double quotes, with \ and " escaped.
std::string quoted(GVariant *value) {
    gchar *printed = g_variant_print(value, FALSE);
    std::string out = "\"";
    for (const char *c = printed; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') out.push_back('\\');
        out.push_back(*c);
    }
    g_free(printed);
    return out + "\"";
}

bool write_all(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(g_recording.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (g_recording.write_error.empty()) g_recording.write_error = std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Under the lock: one line per event, straight to the file (kept while the header is not yet written).
void put_line(std::string line) {
    if (g_recording.stopped) return;
    ++g_recording.events;
    if (!g_recording.open) {
        g_recording.early.push_back(std::move(line));
        return;
    }
    write_all(line);
}

// The scenario lines of one signal: "<ms>ms <name>.emit <Signal> <args>", or one "<name>.property <Name>
// <value>" per changed property.
std::vector<std::string> lines_of(GDBusMessage *message, gint64 at_ms) {
    std::vector<std::string> lines;
    const char *iface = g_dbus_message_get_interface(message);
    const char *member = g_dbus_message_get_member(message);
    GVariant *body = g_dbus_message_get_body(message);
    const std::string time = std::to_string(at_ms) + "ms ";
    if (g_strcmp0(iface, kProperties) == 0) {
        if (g_strcmp0(member, "PropertiesChanged") != 0 || body == nullptr ||
            !g_variant_is_of_type(body, G_VARIANT_TYPE("(sa{sv}as)")))
            return lines;
        const gchar *changed_iface = nullptr;
        GVariantIter *changed = nullptr;
        g_variant_get(body, "(&sa{sv}as)", &changed_iface, &changed, nullptr);
        const Watched *w = watched(changed_iface);
        const gchar *name = nullptr;
        GVariant *value = nullptr;
        while (w != nullptr && g_variant_iter_loop(changed, "{&sv}", &name, &value)) {
            lines.push_back(time + w->name + ".property " + name + " " + quoted(value) + "\n");
        }
        g_variant_iter_free(changed);
        return lines;
    }
    const Watched *w = watched(iface);
    if (w == nullptr || member == nullptr) return lines;
    GVariant *empty = body == nullptr ? g_variant_ref_sink(g_variant_new_tuple(nullptr, 0)) : nullptr;
    lines.push_back(time + w->name + ".emit " + member + " " + quoted(body != nullptr ? body : empty) + "\n");
    if (empty != nullptr) g_variant_unref(empty);
    return lines;
}

// Runs in GDBus's worker thread for every message, so each event is stamped as it arrives.
GDBusMessage *on_message(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL) return message;
    const gint64 now = g_get_monotonic_time();
    {
        std::lock_guard<std::mutex> lock(g_recording.mutex);
        const gint64 at_ms = (now - g_recording.start_us + 500) / 1000;
        for (auto &line : lines_of(message, at_ms)) put_line(std::move(line));
    }
    // Nothing else on this connection wants the signals (a monitor must not even answer them).
    g_object_unref(message);
    return nullptr;
}

// Asks the bus to make this connection a monitor of the services' signals; "" or the bus's error name.
std::string become_monitor(GDBusConnection *connection) {
    GVariantBuilder rules;
    g_variant_builder_init(&rules, G_VARIANT_TYPE("as"));
    for (const Watched *w : g_recording.services) {
        g_variant_builder_add(&rules, "s", (std::string("type='signal',interface='") + w->iface + "'").c_str());
        g_variant_builder_add(&rules, "s",
                              (std::string("type='signal',interface='") + kProperties +
                               "',member='PropertiesChanged',arg0='" + w->iface + "'")
                                  .c_str());
    }
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
        g_variant_new("(asu)", &rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (reply != nullptr) {
        g_variant_unref(reply);
        return "";
    }
    gchar *remote = g_dbus_error_get_remote_error(error);
    std::string why = remote != nullptr ? remote : error->message;
    g_free(remote);
    g_error_free(error);
    return why;
}

void ignore_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
                   gpointer) {}

// The match rules of plain subscriptions; the filter writes the lines. Returns once the bus has them.
bool subscribe(GDBusConnection *connection, std::string &error) {
    for (const Watched *w : g_recording.services) {
        g_dbus_connection_signal_subscribe(connection, nullptr, w->iface, nullptr, nullptr, nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, ignore_signal, nullptr, nullptr);
        g_dbus_connection_signal_subscribe(connection, nullptr, kProperties, "PropertiesChanged", w->path, w->iface,
                                           G_DBUS_SIGNAL_FLAGS_NONE, ignore_signal, nullptr, nullptr);
    }
    // AddMatch goes out unanswered: a call answered after it proves the bus has every rule.
    GError *gerror = nullptr;
    GVariant *reply =
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &gerror);
    if (reply == nullptr) {
        error = gerror->message;
        g_error_free(gerror);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

std::string header(const std::string &address) {
    GDateTime *now = g_date_time_new_now_utc();
    gchar *when = g_date_time_format(now, "%Y-%m-%dT%H:%M:%SZ");
    g_date_time_unref(now);
    std::string names;
    for (const Watched *w : g_recording.services) names += (names.empty() ? "" : ",") + std::string(w->name);
    std::string out = "# tbox scenario recorded by tboxctl record, started " + std::string(when) + "\n";
    g_free(when);
    out += "# bus: " + address + "\n";
    out += "# services: " + names + "\n";
    out += std::string("# how: ") +
           (g_recording.monitoring ? "monitoring the bus (org.freedesktop.DBus.Monitoring.BecomeMonitor)"
                                   : "signal subscriptions (AddMatch), the bus refused monitoring") +
           "\n";
    out += "# times: milliseconds since the recording started; replay: tbox-simd --scenario FILE --gb-interval 0\n";
    return out;
}

// --services: the comma list of names (or interface names, "gbreal", "ky.gbreal"); all when empty.
bool choose_services(const std::string &list, std::string &unknown) {
    if (list.empty()) {
        for (const Watched &w : kServices) g_recording.services.push_back(&w);
        return true;
    }
    gchar **names = g_strsplit(list.c_str(), ",", -1);
    for (gchar **n = names; *n != nullptr; ++n) {
        const std::string name = g_strstrip(*n);
        const Watched *found = nullptr;
        for (const Watched &w : kServices) {
            if (name == w.name || name == w.iface || "ky." + name == w.iface) found = &w;
        }
        if (found == nullptr) {
            unknown = name;
            break;
        }
        bool already = false;
        for (const Watched *w : g_recording.services) already = already || w == found;
        if (!already) g_recording.services.push_back(found);
    }
    g_strfreev(names);
    return unknown.empty();
}

gboolean on_end(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;  // removed with the others once the loop is left
}

int record(Context &ctx, const Args &args) {
    if (!args.has("--out")) return ctx.usage("missing option --out FILE");
    std::string unknown;
    if (!choose_services(args.text("--services"), unknown)) {
        return ctx.usage("unknown service \"" + unknown +
                         "\" in --services (at, bt, ecall, gb, gnss, gsensor, "
                         "monitor, net, param, pm, update, wifi)");
    }
    double duration_s = 0;
    if (args.has("--duration")) {
        const std::string &text = args.text("--duration");
        char *end = nullptr;
        duration_s = g_ascii_strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(duration_s > 0) || duration_s > 7 * 86400)
            return ctx.usage("--duration must be seconds above 0 (at most a week), not \"" + text + "\"");
    }

    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    GDBusConnection *connection =
        address == nullptr ? nullptr
                           : g_dbus_connection_new_for_address_sync(
                                 address,
                                 static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                 nullptr, nullptr, &error);
    const std::string bus = address != nullptr ? address : "";
    g_free(address);
    if (connection == nullptr) {
        const std::string why = error->message;
        g_error_free(error);
        return ctx.fail("cannot connect to the bus: " + why);
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);

    const std::string &out = args.text("--out");
    g_recording.fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_recording.fd < 0) {
        const int saved = errno;
        g_object_unref(connection);
        return ctx.fail("cannot write " + out + ": " + std::strerror(saved));
    }

    // Before anything is recorded: a Ctrl-C from now on ends the recording cleanly.
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    const guint ends[] = {
        g_unix_signal_add(SIGINT, on_end, loop), g_unix_signal_add(SIGTERM, on_end, loop),
        duration_s > 0 ? g_timeout_add(static_cast<guint>(std::lround(duration_s * 1000)), on_end, loop) : 0};
    g_recording.start_us = g_get_monotonic_time();
    const unsigned filter = g_dbus_connection_add_filter(connection, on_message, nullptr, nullptr);
    const std::string refusal = become_monitor(connection);
    std::string failure;
    if (refusal.empty()) {
        g_recording.monitoring = true;
        std::fprintf(stderr, "%s: monitoring the bus\n", ctx.path.c_str());
    } else if (subscribe(connection, failure)) {
        std::fprintf(stderr, "%s: the bus refuses monitoring (%s); subscribing to signals\n", ctx.path.c_str(),
                     refusal.c_str());
    }
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(g_recording.mutex);
        if (failure.empty()) {
            written = write_all(header(bus));
            for (const auto &line : g_recording.early) written = written && write_all(line);
            g_recording.early.clear();
            g_recording.open = true;
        }
    }

    if (written) g_main_loop_run(loop);
    for (const guint source : ends) {
        if (source != 0) g_source_remove(source);
    }
    g_main_loop_unref(loop);

    long long events = 0;
    std::string write_error;
    {
        std::lock_guard<std::mutex> lock(g_recording.mutex);
        g_recording.stopped = true;
        events = g_recording.events;
        const gint64 elapsed_ms = (g_get_monotonic_time() - g_recording.start_us) / 1000;
        write_all("# ended after " + std::to_string(elapsed_ms) + " ms, " + std::to_string(events) + " events\n");
        write_error = g_recording.write_error;
    }
    g_dbus_connection_remove_filter(connection, filter);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    const int closed = close(g_recording.fd);
    if (!failure.empty()) return ctx.fail("cannot subscribe to the services' signals: " + failure);
    if (!write_error.empty() || closed != 0)
        return ctx.fail("cannot write " + out + ": " + (write_error.empty() ? std::strerror(errno) : write_error));
    ctx.print(Answer()
                  .text("file", out)
                  .number("events", events)
                  .text("how", g_recording.monitoring ? "monitor" : "subscriptions"));
    return kOk;
}

}  // namespace

Command record_command() {
    return with_details(
        leaf("record", "record the services' signals and property changes as a scenario for tbox-simd",
             {option("--out", Kind::Path, "the scenario file to write"),
              option("--duration", Kind::Text, "stop after S seconds (default: at Ctrl-C or SIGTERM)"),
              option("--services", Kind::Text, "comma list of services, e.g. gnss,pm,at (default: all twelve)")},
             record),
        "Every line is written as it happens: a recorder that is killed leaves a valid file.\n"
        "Replay it with: tbox-simd --scenario FILE --gb-interval 0 [--speed N]");
}

}  // namespace tboxctl
