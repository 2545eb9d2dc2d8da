// The platform simulator against the SDK's clients and the generated proxies, on a private bus.
#include <gtest/gtest.h>

#include <tbox/at.h>
#include <tbox/bt_gdbus.h>
#include <tbox/ecall_gdbus.h>
#include <tbox/gb_gdbus.h>
#include <tbox/gnss_gdbus.h>
#include <tbox/gsensor_gdbus.h>
#include <tbox/monitor_gdbus.h>
#include <tbox/net_gdbus.h>
#include <tbox/param_gdbus.h>
#include <tbox/pm_gdbus.h>
#include <tbox/upgrade_gdbus.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "nmea.h"
#include "support/fake_service.h"
#include "support/files.h"
#include "support/pump.h"
#include "support/sim_runner.h"
#include "support/test_bus.h"

using tbox::sim::GObjectPtr;
using tbox::test::pump_for;
using tbox::test::pump_until;
using tbox::test::SignalRecorder;
using tbox::test::SimRunner;
using tbox::test::TempDir;

namespace {

// Runs a synchronous binding call given its GError** and returns "" or the D-Bus error name.
template <typename F>
std::string outcome(F call) {
    GError *error = nullptr;
    call(&error);
    if (error == nullptr) return "";
    gchar *remote = g_dbus_error_get_remote_error(error);
    std::string name = remote != nullptr ? remote : error->message;
    g_free(remote);
    g_error_free(error);
    return name;
}

template <typename T>
GObjectPtr<T> proxy(T *(*make)(GBusType, GDBusProxyFlags, const gchar *, const gchar *, GCancellable *, GError **),
                    const char *name, const char *path) {
    return GObjectPtr<T>(make(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, name, path, nullptr, nullptr));
}

// Prints a value and drops it.
std::string print(GVariant *v) {
    gchar *p = g_variant_print(v, FALSE);
    std::string out = p;
    g_free(p);
    g_variant_unref(v);
    return out;
}

// The simulator's complaints (standard error), process-wide while alive.
class Complaints {
public:
    Complaints() {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.clear();
        g_set_printerr_handler([](const gchar *text) {
            std::lock_guard<std::mutex> held(mutex_);
            text_ += text;
        });
    }
    ~Complaints() { g_set_printerr_handler(nullptr); }
    bool has(const std::string &fragment) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_.find(fragment) != std::string::npos;
    }

private:
    static inline std::mutex mutex_;
    static inline std::string text_;
};

std::vector<std::string> members_and_args(const SignalRecorder &recorder, const char *skip_interface) {
    std::vector<std::string> out;
    for (const auto &s : recorder.signals) {
        if (s.interface != skip_interface) out.push_back(s.member + s.args);
    }
    return out;
}

std::vector<std::string> g_urcs;
void on_urc(KyAt *, const gchar *urc, const gchar *sms, gpointer) {
    g_urcs.push_back(std::string(urc) + "|" + sms);
}

TEST(Simulator, AtClientReadsTheModemAndHearsItsUrcs) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitAtInterface(on_urc), 0);
    char buf[256];
    unsigned char csq = 0;
    EXPECT_EQ(GetModemICCID(buf), 0);
    EXPECT_STREQ(buf, "89860121801097564807") << "the +QCCID prefix is the service's to strip";
    EXPECT_EQ(sim.inject("at.csq 31 99"), "");
    EXPECT_EQ(GetModemCSQ(&csq), 0);
    EXPECT_EQ(csq, 31);
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 0);
    EXPECT_STREQ(buf, "READY");
    EXPECT_EQ(sim.inject("at.answer at+cpin? 10 \"+CME ERROR: 10\""), "");
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 10);
    EXPECT_EQ(sim.inject(R"(at.urc "+CMTI: \"SM\",3" hello)"), "");
    ASSERT_TRUE(pump_until([] { return !g_urcs.empty(); }));
    EXPECT_EQ(g_urcs, std::vector<std::string>{"+CMTI: \"SM\",3|hello"});
}

std::string set_param(KyParam *param, int index, const char *value) {
    return outcome([&](GError **e) { ky_param_call_set_param_sync(param, index, value, nullptr, e); });
}

std::string get_param(KyParam *param, int index) {
    gchar *value = nullptr;
    std::string out = outcome([&](GError **e) { ky_param_call_get_param_sync(param, index, &value, nullptr, e); });
    if (out.empty()) out = value;
    g_free(value);
    return out;
}

TEST(Simulator, ParametersAreLimitedAndSurviveARestartAndDamagedStateLinesAreSkipped) {
    TempDir state;
    tbox::test::put(state / "param.state", "1 1 10 600 77\n4 1 1 65535 99999\n");
    tbox::sim::Options options;
    options.state_dir = state.path;
    {
        Complaints complaints;
        SimRunner sim(options);
        ASSERT_EQ(sim.failure(), "");
        EXPECT_TRUE(complaints.has(state / "param.state:2: 99999 is outside 1..65535")) << "a damaged line is named";
        auto param = proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param");
        EXPECT_EQ(get_param(param.get(), 1), "77");
        EXPECT_EQ(get_param(param.get(), 4), "8883") << "and skipped: the default stays";
        const std::tuple<int, const char *, const char *> rows[] = {
            {1, "45", ""},
            {1, "9", "ky.param.Error.InvalidValue"},
            {1, "601", "ky.param.Error.InvalidValue"},
            {1, "abc", "ky.param.Error.InvalidValue"},
            {6, "TOO-SHORT", "ky.param.Error.InvalidValue"},
            {99, "1", "ky.param.Error.UnknownParameter"},
        };
        for (const auto &[index, value, error] : rows) EXPECT_EQ(set_param(param.get(), index, value), error) << value;
        EXPECT_EQ(
            outcome([&](GError **e) { ky_param_call_set_param_max_min_sync(param.get(), 1, 10, 20, nullptr, e); }),
            "ky.param.Error.InvalidLimits");
        EXPECT_EQ(
            outcome([&](GError **e) { ky_param_call_set_param_max_min_sync(param.get(), 1, 100, 50, nullptr, e); }),
            "");
        EXPECT_EQ(set_param(param.get(), 1, "60"), "");
    }
    EXPECT_EQ(state.entries(), 1) << "one state file, no temporary left behind";
    SimRunner again(options);
    ASSERT_EQ(again.failure(), "");
    auto param = proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param");
    EXPECT_EQ(get_param(param.get(), 1), "60");
    EXPECT_EQ(set_param(param.get(), 1, "45"), "ky.param.Error.InvalidValue") << "the limits were kept too";
}

TEST(Simulator, NetProfilesGoUpAndDownWithNetStatus) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    auto net = proxy(ky_net_proxy_new_for_bus_sync, "ky.net", "/ky/net");
    auto status = [&](int profile) {
        gint value = -100;
        const std::string e =
            outcome([&](GError **err) { ky_net_call_get_net_status_sync(net.get(), profile, &value, nullptr, err); });
        return e.empty() ? std::to_string(value) : e;
    };
    EXPECT_EQ(status(1) + status(14), "10");
    EXPECT_EQ(status(0), "ky.net.Error.InvalidProfile");
    EXPECT_EQ(status(15), "ky.net.Error.InvalidProfile");
    SignalRecorder signals;
    EXPECT_EQ(sim.inject("net.down 1"), "");
    EXPECT_EQ(sim.inject("net.up 3"), "");
    EXPECT_EQ(sim.inject("net.up 15"), "net.up: profile 15 is outside 1-14");
    ASSERT_TRUE(pump_until([&] { return signals.count("NetStatus") == 2; }));
    EXPECT_EQ(signals.of("NetStatus")[0].args + signals.of("NetStatus")[1].args, "(false,)(true,)");
    EXPECT_EQ(status(1) + status(3), "01");
}

TEST(Simulator, SleepEventsHoldSleepOffAndAlarmsWakeWithTheirId) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    auto pm = proxy(ky_pm_proxy_new_for_bus_sync, "ky.pm", "/ky/pm");
    KyPm *p = pm.get();
    SignalRecorder signals;
    auto changes = [&] {
        std::string out;
        for (const auto &s : signals.signals) {
            if (s.member == "PowerStateChanged" || s.member == "GsensorWakeUp") out += s.member.substr(0, 5) + s.args;
        }
        return out;
    };
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_set_sleep_event_sync(p, "ota", nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_set_sleep_event_sync(p, "call", nullptr, e); }), "");
    EXPECT_EQ(sim.inject("pm.sleep"), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_clean_sleep_event_sync(p, "ota", nullptr, e); }), "");
    pump_for(100);
    EXPECT_EQ(changes(), "") << "one sleep event still holds sleep off";
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_clean_sleep_event_sync(p, "call", nullptr, e); }), "");
    ASSERT_TRUE(pump_until([&] { return !changes().empty(); }));
    EXPECT_EQ(changes(), "Power(0x03, 0x00, 0)");

    signals.signals.clear();
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_create_sleep_alarm_sync(p, 1, 7, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_create_sleep_alarm_sync(p, 1, 8, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_delete_sleep_alarm_sync(p, 8, nullptr, e); }), "");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until([&] { return !changes().empty(); }, 3000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
    pump_for(300);
    EXPECT_EQ(changes(), "Power(0x01, 0x03, 7)") << "woken by alarm 7 only";
    guint8 source = 0;
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_get_wake_up_source_sync(p, &source, nullptr, e); }), "");
    EXPECT_EQ(source, 3) << "the alarm";

    signals.signals.clear();
    EXPECT_EQ(sim.inject("pm.sleep"), "");
    EXPECT_EQ(sim.inject("pm.gsensor"), "");
    ASSERT_TRUE(pump_until([&] { return signals.count("PowerStateChanged") == 2; }));
    pump_for(50);
    EXPECT_EQ(changes(), "Power(0x03, 0x00, 0)Gsens()Power(0x01, 0x04, 0)");
}

// The bytes of a GbRealData signal's arguments.
std::vector<int> record_bytes(const std::string &args) {
    GVariant *v = g_variant_parse(G_VARIANT_TYPE("(iay)"), args.c_str(), nullptr, nullptr, nullptr);
    if (v == nullptr) return {};
    GVariant *bytes = g_variant_get_child_value(v, 1);
    gsize n = 0;
    const auto *b = static_cast<const guint8 *>(g_variant_get_fixed_array(bytes, &n, 1));
    std::vector<int> out(b, b + n);
    g_variant_unref(bytes);
    g_variant_unref(v);
    return out;
}

TEST(Simulator, GbRecordsAreNumberedInSequenceAndTheAlarmStateIsPublished) {
    tbox::sim::Options options;
    options.gb_interval_ms = 40;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    SignalRecorder signals;
    ASSERT_TRUE(pump_until([&] { return signals.count("GbRealData") >= 2; }));
    const auto a = record_bytes(signals.of("GbRealData")[0].args), b = record_bytes(signals.of("GbRealData")[1].args);
    ASSERT_EQ(a.size(), 23u);
    ASSERT_EQ(b.size(), 23u);
    EXPECT_EQ((b[20] << 8 | b[21]) - (a[20] << 8 | a[21]), 1) << "consecutive sequence numbers (bytes 20-21)";

    EXPECT_EQ(sim.inject("gb.interval 0"), "");
    signals.signals.clear();
    EXPECT_EQ(sim.inject("gb.record 0102 5"), "");
    EXPECT_EQ(sim.inject("gb.alarm 1"), "");
    EXPECT_EQ(sim.inject("gb.alarm 1"), "");
    ASSERT_TRUE(pump_until([&] {
        const auto records = signals.of("GbRealData");
        return !records.empty() && records.back().args == "(5, [0x01, 0x02])";
    }));
    EXPECT_EQ(tbox::test::get_all("ky.gbreal", "/ky/gbreal", "ky.gbreal"), "({'AlarmState': <true>},)");
    pump_for(100);
    EXPECT_EQ(signals.count("PropertiesChanged"), 1u) << "a set to the same value publishes nothing";
}

TEST(Simulator, BtEcallGsensorAndMonitorAnswerFromStateAndSignalOnEvents) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    auto bt = proxy(ky_bt_proxy_new_for_bus_sync, "ky.bt", "/ky/bt");
    auto ecall = proxy(ky_ecall_proxy_new_for_bus_sync, "ky.ecall", "/ky/ecall");
    auto gsensor = proxy(ky_gsensor_proxy_new_for_bus_sync, "ky.gsensor", "/ky/gsensor");
    auto monitor = proxy(ky_monitor_proxy_new_for_bus_sync, "ky.monitor", "/ky/monitor");
    using Call = std::function<void(GError **)>;
    auto err = [](Call f) { return [f] { return outcome(f); }; };
    auto pid = [](int id) { return g_variant_new("(isy)", id, "navi", 1); };
    const std::tuple<const char *, std::function<std::string()>, const char *> rows[] = {
        {"bt empty name", err([&](GError **e) { ky_bt_call_set_bt_name_sync(bt.get(), "", nullptr, e); }),
         "ky.bt.Error.InvalidName"},
        {"bt unconnected", err([&](GError **e) { ky_bt_call_send_btdata_sync(bt.get(), "abc", 3, nullptr, e); }),
         "ky.bt.Error.NotConnected"},
        {"bt connects", [&] { return sim.inject("bt.state 2"); }, ""},
        {"bt send", err([&](GError **e) { ky_bt_call_send_btdata_sync(bt.get(), "abc", 3, nullptr, e); }), ""},
        {"ecall",
         [&] {
             sim.inject("ecall.call 1 2");
             GVariant *v = nullptr;
             ky_ecall_call_get_ecall_statue_sync(ecall.get(), &v, nullptr, nullptr);
             return print(v);
         },
         "(1, 2)"},
        {"0 g", err([&](GError **e) { ky_gsensor_call_set_rapid_acc_threshold_sync(gsensor.get(), 0, 3, nullptr, e); }),
         "ky.gsensor.Error.InvalidValue"},
        {"z zero", err([&](GError **e) { ky_gsensor_call_set_zzero_value_sync(gsensor.get(), 9.5, nullptr, e); }), ""},
        {"reading",
         [&] {
             sim.inject("gsensor.value 1.5 -2 9.75");
             GVariant *v = nullptr;
             ky_gsensor_call_get_gsensor_value_sync(gsensor.get(), &v, nullptr, nullptr);
             return print(v);
         },
         "(1.5, -2.0, 0.25)"},
        {"pid 0",
         err([&](GError **e) { ky_monitor_call_register_monitor_process_sync(monitor.get(), pid(0), nullptr, e); }),
         "ky.monitor.Error.InvalidPid"},
        {"register",
         err([&](GError **e) { ky_monitor_call_register_monitor_process_sync(monitor.get(), pid(4242), nullptr, e); }),
         ""},
        {"query unknown", [&] { return sim.inject("monitor.query 7"); }, "monitor.query: pid is not registered"},
    };
    for (const auto &[what, call, expected] : rows) EXPECT_EQ(call(), expected) << what;

    // Each event emits its signal, in order.
    SignalRecorder signals;
    const char *events[] = {"bt.recv 00FF10",    "bt.state 0",         "ecall.call 3",       "gsensor.event 4",
                            "gsensor.trailer 1", "monitor.query 4242", "monitor.delete 4242"};
    for (const char *e : events) EXPECT_EQ(sim.inject(e), "") << e;
    ASSERT_TRUE(pump_until([&] { return members_and_args(signals, "ky.sim").size() == 7; }));
    EXPECT_EQ(members_and_args(signals, "ky.sim"),
              (std::vector<std::string>{"BtRecvData(3, [0x00, 0xff, 0x10])", "BtStateChange(0,)", "EcallBroadcast(3,)",
                                        "GsensorEventUpdate(0x04,)", "TrailerAlarm(0x01,)", "getProcessStatus(4242,)",
                                        "DeleteMonitorProcessNode(4242,)"}));
}

std::string sentence(const std::string &body) {
    return tbox::sim::nmea::with_checksum(body);
}

TEST(Simulator, GnssReplaysTheLogPacedBySpeedAndNamesDamagedLines) {
    TempDir dir;
    const std::string log = dir / "drive.nmea";
    const std::string lines[] = {
        sentence("$GNRMC,083002.00,V,,,,,,,140326,,,N,V"),
        sentence("$GNRMC,083003.00,A,3113.8250,N,12128.4221,E,10.00,62.5,140326,,,A,V"),
        "$GNGGA,083003.00,3113.8250,N,12128.4221,E,1,09,0.8,4.4,M,9.8,M,,*00",  // checksum wrong
        "$GNGGA,083003.00,3113.82",  // cut short: out as received, but no position without a checksum
        sentence("$GNGGA,083005.00,3113.8250,N,12128.4221,E,1,09,0.8,4.4,M,9.8,M,,"),
        sentence("$GNGSA,A,3,03,05,07,,,,,,,,,,1.3,0.8,1.0,1"),
        sentence("$GNRMC,083005.00,A,3113.8250,N,12128.4221,E,1O.0,62.5,140326,,,A,V"),  // letter O in a number
    };
    std::string text;
    for (const auto &l : lines) text += l + "\r\n";
    tbox::test::put(log, text);
    tbox::sim::Options options;
    options.nmea = log;
    options.speed = 10;  // the three seconds between the first and the last epoch take 300 ms
    Complaints complaints;
    SignalRecorder signals;
    std::vector<std::chrono::steady_clock::time_point> seen;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_TRUE(pump_until(
        [&] {
            while (seen.size() < signals.count("GpsOrignalUpdate")) seen.push_back(std::chrono::steady_clock::now());
            return seen.size() == 6;
        },
        3000));
    pump_for(100);
    std::vector<std::string> raw;
    for (const auto &s : signals.of("GpsOrignalUpdate")) raw.push_back(s.args);
    EXPECT_EQ(raw,
              (std::vector<std::string>{"('" + lines[0] + "',)", "('" + lines[1] + "',)", "('" + lines[3] + "',)",
                                        "('" + lines[4] + "',)", "('" + lines[5] + "',)", "('" + lines[6] + "',)"}));
    EXPECT_GE(seen[3] - seen[0], std::chrono::milliseconds(250));
    EXPECT_LT(seen[3] - seen[0], std::chrono::milliseconds(1500)) << "not three real seconds";
    EXPECT_TRUE(complaints.has(log + ":3: bad checksum: sentence says 00, computed"));
    EXPECT_TRUE(complaints.has(log + ":4: GGA without a checksum (position not updated)"));
    EXPECT_TRUE(complaints.has(log + ":7: RMC speed \"1O.0\""));

    auto gnss = proxy(ky_gnss_proxy_new_for_bus_sync, "ky.gnss", "/ky/gnss");
    GVariant *value = nullptr;
    ASSERT_EQ(outcome([&](GError **e) { ky_gnss_call_get_gps_data_sync(gnss.get(), &value, nullptr, e); }), "");
    EXPECT_EQ(print(value), "(1, 31230417, 121473702, 44, 185, 625, 9, 8, 0, 83005)") << "no RMC dates 08:30:05";
}

// What ky.gnss carries on the bus for a receiver's lines: every sentence as received, records dated only
// by a valid RMC of their own epoch (a no-fix RMC's default date and yesterday lend nothing), one sync.
TEST(Simulator, GnssPassesEverySentenceOnAndDatesOnlyFixesOfTheirOwnEpoch) {
    TempDir dir;
    const std::string log = dir / "midnight.nmea";
    const std::string pos = "4807.0380,N,01131.0000,E";
    const std::string lines[] = {
        sentence("$PSRFEPE,235958.000,A,1.2,8.40,12.50,0.3,90.0"),
        sentence("$GPRMC,235958.00,V," + pos + ",,,050180,,,N"),
        sentence("$GPGGA,235958.00," + pos + ",1,08,0.9,545.4,M,46.9,M,,"),
        sentence("$GPGSA,A,3,04,09,,,,,,,,,,,1.9,0.9,1.6") +
            sentence("$GNRMC,235959.50,A," + pos + ",0.5,54.7,140326,,,A"),
        sentence("$GNGGA,000000.00," + pos + ",1,08,0.9,545.4,M,46.9,M,,"),
        sentence("$GNRMC,000000.00,A," + pos + ",0.5,54.7,150326,,,A"),
        sentence("$GNGGA,000001.00,9000.5000,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,"),
        "$PLCS,REV,AB12,070312",
    };
    std::string text;
    for (const auto &l : lines) text += l + "\r\n";
    tbox::test::put(log, text);
    tbox::sim::Options options;
    options.nmea = log;
    options.speed = 100;
    Complaints complaints;
    SignalRecorder signals;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_TRUE(pump_until([&] { return signals.count("GpsOrignalUpdate") == 9; }, 3000));
    pump_for(50);
    std::vector<std::string> raw, parsed;
    for (const auto &s : signals.signals) {
        if (s.member == "GpsOrignalUpdate") raw.push_back(s.args);
        if (s.member == "GpsParseredUpdate" || s.member == "GpsSyncTime") parsed.push_back(s.member + s.args);
    }
    const std::string glued_gsa = lines[3].substr(0, lines[3].find("$GNRMC"));
    EXPECT_EQ(raw, (std::vector<std::string>{"('" + lines[0] + "',)", "('" + lines[1] + "',)", "('" + lines[2] + "',)",
                                             "('" + glued_gsa + "',)", "('" + lines[3].substr(glued_gsa.size()) + "',)",
                                             "('" + lines[4] + "',)", "('" + lines[5] + "',)", "('" + lines[6] + "',)",
                                             "('" + lines[7] + "',)"}));
    const std::string fix = "GpsParseredUpdate((1, 48117300, 11516667, 5454, ";
    EXPECT_EQ(parsed, (std::vector<std::string>{
                          "GpsParseredUpdate((0, 0, 0, 0, 0, 0, 0, 0, 0, 235958),)",
                          fix + "0, 0, 8, 9, 0, 235958),)",
                          fix + "9, 547, 8, 9, 20260314, 235959),)",
                          "GpsSyncTime(1,)",
                          fix + "9, 547, 8, 9, 0, 0),)",
                          fix + "9, 547, 8, 9, 20260315, 0),)",
                      }));
    EXPECT_TRUE(complaints.has(log + ":7: GGA latitude \"9000.5000,N\" (position not updated)"));
}

const char *const kScenario = R"(# a short drive home
0ms      net.down 1
+50ms    pm.state 2 5 7
+50ms    gb.alarm 1
100ms    at.urc "+CMTI: \"SM\",3" hello
150ms    bogus line here
+0.05s   net.up 1 10.1.2.3
nonsense net.up 1
50ms     net.down 2
+10ms    net.up 20
+10ms    net.up
)";

TEST(Simulator, AScenarioPlaysTheSameEventsInTheSameOrderEveryRun) {
    TempDir dir;
    tbox::test::put(dir / "home.scn", kScenario);
    tbox::sim::Options options;
    options.scenario = dir / "home.scn";
    options.gb_interval_ms = 0;
    std::vector<std::string> runs[2];
    for (auto &run : runs) {
        Complaints complaints;
        SignalRecorder signals;
        {
            SimRunner sim(options);
            ASSERT_EQ(sim.failure(), "");
            ASSERT_TRUE(pump_until([&] { return signals.count("EventRan") == 5; }, 3000));
            pump_for(150);
        }
        run = members_and_args(signals, "");
        EXPECT_TRUE(complaints.has(dir / "home.scn:6: \"bogus\" is not an event name"));
        EXPECT_TRUE(complaints.has(dir / "home.scn:8: \"nonsense\" is not a time"));
        EXPECT_TRUE(complaints.has(dir / "home.scn:9: time goes backwards"));
        EXPECT_TRUE(complaints.has(dir / "home.scn:11: net.up: takes 1 to 2 arguments"));
        EXPECT_TRUE(complaints.has(dir / "home.scn:10: net.up: profile 20 is outside 1-14")) << "refused when run";
    }
    const std::vector<std::string> expected = {
        "NetStatus(false,)",
        "EventRan('net.down 1',)",
        "PowerStateChanged(0x02, 0x05, 7)",
        "EventRan('pm.state 2 5 7',)",
        "PropertiesChanged('ky.gbreal', {'AlarmState': <true>}, [])",
        "EventRan('gb.alarm 1',)",
        "UrcBroadcast('+CMTI: \"SM\",3', 'hello')",
        "EventRan('at.urc \"+CMTI: \\\\\"SM\\\\\",3\" hello',)",
        "NetStatus(true,)",
        "EventRan('net.up 1 10.1.2.3',)",
    };
    EXPECT_EQ(runs[0], expected);
    EXPECT_EQ(runs[1], runs[0]);
}

TEST(Simulator, TheControlInterfaceRefusesBadCallsAndKeepsServing) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    std::string reply;
    auto call = [&](const char *method, GVariant *args) {
        return outcome([&](GError **e) {
            GVariant *r = g_dbus_connection_call_sync(bus, "ky.sim", "/ky/sim", "ky.sim", method, args, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, e);
            if (r != nullptr) reply = print(r);
        });
    };
    const std::tuple<const char *, GVariant *, const char *> rows[] = {
        {"Inject", g_variant_new("(i)", 5), "org.freedesktop.DBus.Error.InvalidArgs"},
        {"Inject", g_variant_new("(ss)", "net.down", "1"), "org.freedesktop.DBus.Error.InvalidArgs"},
        {"Received", nullptr, "org.freedesktop.DBus.Error.InvalidArgs"},
        {"Inject", g_variant_new("(s)", "net.down"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "nosuch.event 1"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "mcu.send 0x0201 0 AA"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "at.urc \"unterminated"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "net.quality 2 9"), ""},
    };
    for (const auto &[method, args, error] : rows) EXPECT_EQ(call(method, args), error) << method;
    auto net = proxy(ky_net_proxy_new_for_bus_sync, "ky.net", "/ky/net");
    gint quality = 0;
    EXPECT_EQ(outcome([&](GError **e) { ky_net_call_get_net_quality_sync(net.get(), 2, &quality, nullptr, e); }), "");
    EXPECT_EQ(quality, 9);
    EXPECT_EQ(call("Received", g_variant_new("(s)", "ky.net")), "");
    EXPECT_EQ(reply, "(['ky.net GetNetQuality (2,)'],)");
    g_object_unref(bus);
}

TEST(Simulator, TwoSimulatorsNeverShareState) {
    TempDir a, b;
    tbox::test::ExtraBus other;
    tbox::sim::Options first, second;
    first.state_dir = a.path;
    second.state_dir = b.path;
    second.address = other.address;
    const auto started = std::chrono::steady_clock::now();
    SimRunner one(first);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << "ready in under a second";
    SimRunner two(second);
    ASSERT_EQ(one.failure(), "");
    ASSERT_EQ(two.failure(), "");
    GDBusConnection *bus2 = g_dbus_connection_new_for_address_sync(
        other.address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(bus2, nullptr);
    auto param1 = proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param");
    GObjectPtr<KyParam> param2(
        ky_param_proxy_new_sync(bus2, G_DBUS_PROXY_FLAGS_NONE, "ky.param", "/ky/param", nullptr, nullptr));
    GObjectPtr<KyNet> net2(ky_net_proxy_new_sync(bus2, G_DBUS_PROXY_FLAGS_NONE, "ky.net", "/ky/net", nullptr, nullptr));
    EXPECT_EQ(set_param(param1.get(), 2, "100"), "");
    EXPECT_EQ(one.inject("net.down 1"), "");
    gint status = -1;
    ky_net_call_get_net_status_sync(net2.get(), 1, &status, nullptr, nullptr);
    EXPECT_EQ(get_param(param2.get(), 2), "10");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(two.received("ky.param").size(), 1u) << "the second journal holds only its own call";
    EXPECT_EQ(a.entries(), 1);
    EXPECT_EQ(b.entries(), 0) << "the second simulator wrote nothing";
    g_object_unref(bus2);
}

// A process killed while bound must not hold the upgrade for ever: the binding goes when the binder's bus
// name leaves the bus, or when the bound pid no longer exists; a live binder on the bus keeps it.
TEST(Simulator, AnUpgradeBindingEndsWithItsBindersConnectionOrProcess) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    const pid_t child = tbox::test::ended_pid();
    GDBusConnection *binder = tbox::test::open_bus_connection();
    GObjectPtr<KyUpdate> own(
        ky_update_proxy_new_sync(binder, G_DBUS_PROXY_FLAGS_NONE, "ky.update", "/ky/update", nullptr, nullptr));
    auto other = proxy(ky_update_proxy_new_for_bus_sync, "ky.update", "/ky/update");
    const auto bound = tbox::test::bound_pid;
    const gint me = getpid();
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(own.get(), me, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(other.get(), me + 1, nullptr, e); }),
              "ky.update.Error.Busy")
        << "a live binder keeps the binding";
    EXPECT_EQ(bound(), me);
    own.reset();
    g_dbus_connection_close_sync(binder, nullptr, nullptr);
    g_object_unref(binder);
    EXPECT_TRUE(pump_until([&] { return bound() == 0; }, 5000)) << "released when the binder left the bus";

    // Bound on behalf of a pid that has ended, from a connection that stays: released at the next look.
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(other.get(), child, nullptr, e); }), "");
    EXPECT_EQ(bound(), 0);
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(other.get(), child, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(other.get(), me, nullptr, e); }), "")
        << "a new binder is not refused because of the ended one";
    EXPECT_EQ(bound(), me);
}

// The bus configuration shipped for desktop development (share/tbox/bus.conf): a daemon started on it with
// its socket moved by --address lets any user's connections own the box's names and call each other.
TEST(Simulator, TheShippedBusConfigurationLetsConnectionsOwnNamesAndCallEachOther) {
    TempDir dir;
    const std::string config = std::string("--config-file=") + TBOX_SIM_BUS_CONF;
    const std::string listen = "--address=unix:dir=" + dir.path;
    GPid daemon = 0;
    const std::string address = tbox::test::start_helper(
        {"dbus-daemon", config.c_str(), listen.c_str(), "--nofork", "--nopidfile", "--print-address=1", nullptr},
        daemon, "dbus-daemon refused the shipped configuration");
    EXPECT_EQ(address.rfind("unix:path=" + dir.path + "/", 0), 0u) << address;
    const auto connect = [&] {
        return GObjectPtr<GDBusConnection>(g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
    };
    const auto service = connect();
    const auto client = connect();
    ASSERT_TRUE(service && client);
    GVariant *owned = g_dbus_connection_call_sync(
        service.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "ky.at", 0u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    ASSERT_NE(owned, nullptr);
    guint32 reply = 0;
    g_variant_get(owned, "(u)", &reply);
    g_variant_unref(owned);
    EXPECT_EQ(reply, 1u) << "primary owner";
    GError *error = nullptr;
    GVariant *pong = g_dbus_connection_call_sync(client.get(), "ky.at", "/", "org.freedesktop.DBus.Peer", "Ping",
                                                 nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    EXPECT_NE(pong, nullptr) << (error != nullptr ? error->message : "");
    if (pong != nullptr) g_variant_unref(pong);
    g_clear_error(&error);
    tbox::test::stop_bus_daemon(daemon, "");
}

}  // namespace
