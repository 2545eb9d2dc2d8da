// tbox-simd: the platform simulator for desktop development. It serves the twelve platform services
// (ky.at ... ky.wifi) and its control interface ky.sim on the system bus or the bus given with
// --address, and with --queues the MCU (key 1) and upgrade configuration (key 2) queue services.
// docs/simulator.md describes what each service models, the scenario format and ky.sim.
// With --gnss-device/--gpsd it reads NMEA from a real receiver, with --modem it answers AT commands from
// a real modem. SIGINT/SIGTERM stop it cleanly (the queues it owns are removed).
#include <glib-unix.h>

#include <cstdio>
#include <string>

#include "gnss_source.h"
#include "serial_line.h"
#include "simulator.h"

namespace {

struct Loop {
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    int status = 0;
    ~Loop() { g_main_loop_unref(loop); }
};

gboolean on_stop_signal(gpointer data) {
    g_main_loop_quit(static_cast<Loop *>(data)->loop);
    return G_SOURCE_REMOVE;
}

// Fills the options of the device paths; "" or what is wrong with them.
std::string device_options(tbox::sim::Options &options, const gchar *nmea, const gchar *gnss_device, const gchar *gpsd,
                           const gchar *modem, gint modem_timeout) {
    const int sources = (nmea != nullptr) + (gnss_device != nullptr) + (gpsd != nullptr);
    if (sources > 1) return "--nmea, --gnss-device and --gpsd exclude each other: give one";
    std::string why;
    if (gnss_device != nullptr) {
        why = tbox::sim::parse_device(gnss_device, options.gnss_baud, options.gnss_device, options.gnss_baud);
        if (!why.empty()) return "--gnss-device: " + why;
    }
    if (gpsd != nullptr) {
        GSocketConnectable *address = g_network_address_parse(gpsd, tbox::sim::kGpsdPort, nullptr);
        if (address == nullptr) return std::string("--gpsd: not HOST[:PORT]: \"") + gpsd + "\"";
        g_object_unref(address);
        options.gpsd = gpsd;
    }
    if (modem != nullptr) {
        why = tbox::sim::parse_device(modem, options.modem_baud, options.modem, options.modem_baud);
        if (!why.empty()) return "--modem: " + why;
    }
    if (modem_timeout <= 0) return "--modem-timeout must be above 0";
    options.modem_timeout_ms = modem_timeout;
    return "";
}

}  // namespace

int main(int argc, char **argv) {
    gchar *address = nullptr, *state = nullptr, *nmea = nullptr, *scenario = nullptr;
    gchar *gnss_device = nullptr, *gpsd = nullptr, *modem = nullptr;
    gchar **urcs = nullptr;
    gint urc_interval = 0, gb_interval = 1000, upgrade_time = 3000, modem_timeout = 5000;
    gdouble speed = 1.0;
    gboolean queues = FALSE;
    const GOptionEntry entries[] = {
        {"address", 'a', 0, G_OPTION_ARG_STRING, &address, "Bus address (default: the system bus)", "ADDRESS"},
        {"state", 0, 0, G_OPTION_ARG_FILENAME, &state, "Keep parameters in DIR/param.state", "DIR"},
        {"nmea", 0, 0, G_OPTION_ARG_FILENAME, &nmea, "Replay this NMEA log from the start", "FILE"},
        {"speed", 0, 0, G_OPTION_ARG_DOUBLE, &speed, "Replay the NMEA log and the scenario N times faster (default 1)",
         "N"},
        {"scenario", 0, 0, G_OPTION_ARG_FILENAME, &scenario, "Play this scenario file", "FILE"},
        {"queues", 0, 0, G_OPTION_ARG_NONE, &queues, "Serve the MCU and configuration queues (keys 1 and 2)", nullptr},
        {"gb-interval", 0, 0, G_OPTION_ARG_INT, &gb_interval, "GbRealData period, 0 = none (default 1000)", "MS"},
        {"upgrade-time", 0, 0, G_OPTION_ARG_INT, &upgrade_time, "How long an upgrade runs (default 3000)", "MS"},
        {"urc", 'u', 0, G_OPTION_ARG_STRING_ARRAY, &urcs, "URC text to broadcast once ready (repeatable)", "TEXT"},
        {"urc-interval", 'i', 0, G_OPTION_ARG_INT, &urc_interval, "Repeat the URCs every MS milliseconds", "MS"},
        {"gnss-device", 0, 0, G_OPTION_ARG_FILENAME, &gnss_device,
         "Read NMEA from this serial receiver (default 9600 baud)", "DEVICE[:BAUD]"},
        {"gpsd", 0, 0, G_OPTION_ARG_STRING, &gpsd, "Read NMEA from gpsd (default port 2947)", "HOST[:PORT]"},
        {"modem", 0, 0, G_OPTION_ARG_FILENAME, &modem,
         "Answer AT commands from the modem on this port (default 115200 baud)", "DEVICE[:BAUD]"},
        {"modem-timeout", 0, 0, G_OPTION_ARG_INT, &modem_timeout, "How long a modem command may take (default 5000)",
         "MS"},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *context = g_option_context_new("- telematics box platform simulator");
    g_option_context_add_main_entries(context, entries, nullptr);
    GError *error = nullptr;
    const gboolean parsed = g_option_context_parse(context, &argc, &argv, &error);
    g_option_context_free(context);
    if (!parsed) {
        g_printerr("tbox-simd: %s\n", error->message);
        g_error_free(error);
        return 2;
    }
    if (argc > 1 || speed <= 0 || gb_interval < 0 || upgrade_time < 0 || urc_interval < 0) {
        g_printerr("tbox-simd: %s\n", argc > 1 ? "unexpected argument" : "--speed must be above 0, times not negative");
        return 2;
    }

    tbox::sim::Options options;
    const std::string usage = device_options(options, nmea, gnss_device, gpsd, modem, modem_timeout);
    g_free(gnss_device);
    g_free(gpsd);
    g_free(modem);
    if (!usage.empty()) {
        g_printerr("tbox-simd: %s\n", usage.c_str());
        return 2;
    }
    options.address = address != nullptr ? address : "";
    options.state_dir = state != nullptr ? state : "";
    options.nmea = nmea != nullptr ? nmea : "";
    options.scenario = scenario != nullptr ? scenario : "";
    options.speed = speed;
    options.queues = queues != FALSE;
    options.gb_interval_ms = gb_interval;
    options.upgrade_ms = upgrade_time;
    options.urc_interval_ms = urc_interval;
    for (gchar **u = urcs; u != nullptr && *u != nullptr; ++u) options.urcs.emplace_back(*u);
    g_free(address);
    g_free(state);
    g_free(nmea);
    g_free(scenario);
    g_strfreev(urcs);
    // Lines reach a log file or a pipe at once, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Loop loop;
    int status = 0;
    {
        tbox::sim::Simulator sim(options);
        std::string why;
        if (!sim.start(why, [&loop](const std::string &failure) {
                if (failure.empty()) return;
                g_printerr("tbox-simd: %s\n", failure.c_str());
                loop.status = 1;
                g_main_loop_quit(loop.loop);
            })) {
            g_printerr("tbox-simd: %s\n", why.c_str());
            return 1;
        }
        g_unix_signal_add(SIGINT, on_stop_signal, &loop);
        g_unix_signal_add(SIGTERM, on_stop_signal, &loop);
        g_main_loop_run(loop.loop);
        status = loop.status;
    }
    g_print("tbox-simd: stopped\n");
    return status;
}
