// tbox-simd: a platform simulator for desktop development. It owns ky.at on the system bus (or on the
// bus given with --address) and answers AT commands the way a modem would.
//
//   tbox-simd [--address ADDRESS] [--urc TEXT]... [--urc-interval MS]
//
// --urc queues an unsolicited result code to broadcast (repeated every --urc-interval ms, default 0 =
// once, after the name is owned). SIGINT/SIGTERM stop it cleanly.
#include <gio/gio.h>
#include <glib-unix.h>

#include <tbox/at_gdbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Modem {
    std::string iccid = "89860121801097564807";
    std::string imei = "867698041234565";
    std::string imsi = "460011234567890";
    int rssi = 23;
    int ber = 99;
    bool gnss_outport = false;
};

// Error code for commands the modem does not know ("+CME ERROR: 4", operation not supported).
constexpr int kUnknownCommand = 4;

std::string upper(const std::string &s) {
    std::string out = s;
    for (char &c : out) c = static_cast<char>(g_ascii_toupper(c));
    return out;
}

bool starts_with(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Returns the cmdResult and fills `answer` with the text the service would hand back.
int answer_command(Modem &modem, const std::string &raw, std::string &answer) {
    const std::string cmd = upper(raw);
    if (cmd == "AT+QCCID") {
        answer = "+QCCID: " + modem.iccid;
    } else if (cmd == "AT+GSN" || cmd == "AT+CGSN") {
        answer = modem.imei;
    } else if (cmd == "AT+CIMI") {
        answer = modem.imsi;
    } else if (cmd == "AT+CSQ") {
        answer = "+CSQ: " + std::to_string(modem.rssi) + "," + std::to_string(modem.ber);
    } else if (starts_with(cmd, "AT+QADC=")) {
        char *end = nullptr;
        const long channel = std::strtol(cmd.c_str() + 8, &end, 10);
        if (end == cmd.c_str() + 8 || *end != '\0' || channel < 0 || channel > 3) {
            answer = "+CME ERROR: 50";
            return 50;
        }
        answer = "+QADC: 1," + std::to_string(1200 + 100 * channel);
    } else if (cmd == "AT+QGPSCFG=\"OUTPORT\"") {
        modem.gnss_outport = true;
        answer = "+QGPSCFG: \"outport\",\"uartdebug\"";
    } else if (cmd == "AT" || cmd == "AT+QGPSCFG=\"GLONASSNMEATYPE\",1" || cmd == "AT+QGPSCFG=\"GALILEONMEATYPE\",1" ||
               cmd == "AT+QGPSCFG=\"BEIDOUNMEATYPE\",2") {
        answer = "OK";
    } else {
        answer = "+CME ERROR: " + std::to_string(kUnknownCommand);
        return kUnknownCommand;
    }
    return 0;
}

struct Simulator {
    Modem modem;
    KyAt *at = nullptr;
    GMainLoop *loop = nullptr;
    std::vector<std::string> urcs;
    guint urc_interval_ms = 0;
};

gboolean on_send_at_cmd(KyAt *object, GDBusMethodInvocation *invocation, const gchar *cmd, const gchar *prefix,
                        gint lines, gpointer data) {
    auto *sim = static_cast<Simulator *>(data);
    std::string answer;
    const int result = answer_command(sim->modem, cmd, answer);
    g_print("tbox-simd: %s (prefix \"%s\", %d lines) -> %d \"%s\"\n", cmd, prefix, lines, result, answer.c_str());
    // The service hands back the text after the requested prefix, as the modem's answer line.
    if (prefix != nullptr && *prefix != '\0' && starts_with(answer, prefix)) {
        answer.erase(0, std::strlen(prefix));
        if (!answer.empty() && answer[0] == ':') answer.erase(0, 1);
        if (!answer.empty() && answer[0] == ' ') answer.erase(0, 1);
    }
    ky_at_complete_send_at_cmd(object, invocation, result, answer.c_str());
    return TRUE;
}

gboolean broadcast_urcs(gpointer data) {
    auto *sim = static_cast<Simulator *>(data);
    for (const auto &urc : sim->urcs) {
        ky_at_emit_urc_broadcast(sim->at, urc.c_str(), "");
    }
    return sim->urc_interval_ms > 0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void on_name_acquired(GDBusConnection *, const gchar *name, gpointer data) {
    auto *sim = static_cast<Simulator *>(data);
    g_print("tbox-simd: serving %s\n", name);
    if (!sim->urcs.empty()) {
        if (sim->urc_interval_ms > 0) {
            g_timeout_add(sim->urc_interval_ms, broadcast_urcs, sim);
        } else {
            g_idle_add(broadcast_urcs, sim);
        }
    }
}

void on_name_lost(GDBusConnection *connection, const gchar *name, gpointer data) {
    auto *sim = static_cast<Simulator *>(data);
    g_printerr("tbox-simd: %s %s\n", connection == nullptr ? "cannot connect to the bus for" : "lost the name", name);
    g_main_loop_quit(sim->loop);
}

gboolean on_stop_signal(gpointer data) {
    g_main_loop_quit(static_cast<Simulator *>(data)->loop);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char **argv) {
    gchar *address = nullptr;
    gchar **urcs = nullptr;
    gint interval = 0;
    const GOptionEntry entries[] = {
        {"address", 'a', 0, G_OPTION_ARG_STRING, &address, "Bus address (default: the system bus)", "ADDRESS"},
        {"urc", 'u', 0, G_OPTION_ARG_STRING_ARRAY, &urcs, "URC text to broadcast (repeatable)", "TEXT"},
        {"urc-interval", 'i', 0, G_OPTION_ARG_INT, &interval, "Repeat the URCs every MS milliseconds", "MS"},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *options = g_option_context_new("- telematics box platform simulator");
    g_option_context_add_main_entries(options, entries, nullptr);
    GError *error = nullptr;
    if (!g_option_context_parse(options, &argc, &argv, &error)) {
        g_printerr("tbox-simd: %s\n", error->message);
        g_error_free(error);
        g_option_context_free(options);
        return 2;
    }
    g_option_context_free(options);

    Simulator sim;
    for (gchar **u = urcs; u != nullptr && *u != nullptr; ++u) sim.urcs.emplace_back(*u);
    g_strfreev(urcs);
    sim.urc_interval_ms = interval > 0 ? static_cast<guint>(interval) : 0;
    sim.loop = g_main_loop_new(nullptr, FALSE);

    GDBusConnection *connection = nullptr;
    if (address != nullptr) {
        connection = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
    } else {
        connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    }
    g_free(address);
    if (connection == nullptr) {
        g_printerr("tbox-simd: cannot connect to the bus: %s\n", error->message);
        g_error_free(error);
        g_main_loop_unref(sim.loop);
        return 1;
    }

    sim.at = ky_at_skeleton_new();
    g_signal_connect(sim.at, "handle-send-at-cmd", G_CALLBACK(on_send_at_cmd), &sim);
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(sim.at), connection, "/ky/at", &error)) {
        g_printerr("tbox-simd: cannot export /ky/at: %s\n", error->message);
        g_error_free(error);
        return 1;
    }
    const guint owner = g_bus_own_name_on_connection(connection, "ky.at", G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                                     on_name_acquired, on_name_lost, &sim, nullptr);
    g_unix_signal_add(SIGINT, on_stop_signal, &sim);
    g_unix_signal_add(SIGTERM, on_stop_signal, &sim);

    g_main_loop_run(sim.loop);

    g_bus_unown_name(owner);
    g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(sim.at));
    g_object_unref(sim.at);
    g_object_unref(connection);
    g_main_loop_unref(sim.loop);
    g_print("tbox-simd: stopped\n");
    return 0;
}
