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
#include <tbox/wifi_gdbus.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "nmea.h"
#include "support/fake_service.h"
#include "support/files.h"
#include "support/pump.h"
#include "support/sim_runner.h"

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

// The simulator's complaints (standard error), process-wide while alive.
class Complaints {
public:
    Complaints() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        g_set_printerr_handler(&Complaints::sink);
    }
    ~Complaints() { g_set_printerr_handler(nullptr); }
    bool has(const std::string &fragment) const {
        std::lock_guard<std::mutex> lock(mutex());
        for (const auto &l : lines()) {
            if (l.find(fragment) != std::string::npos) return true;
        }
        return false;
    }

private:
    static std::mutex &mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void sink(const gchar *text) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().emplace_back(text);
    }
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
    EXPECT_EQ(GetModemIMEI(buf), 0);
    EXPECT_STREQ(buf, "867698041234565");
    EXPECT_EQ(GetModemIMSI(buf), 0);
    EXPECT_STREQ(buf, "460011234567890");
    EXPECT_EQ(GetModemCSQ(&csq), 0);
    EXPECT_EQ(csq, 23);
    EXPECT_EQ(sim.inject("at.csq 31 99"), "");
    EXPECT_EQ(GetModemCSQ(&csq), 0);
    EXPECT_EQ(csq, 31);
    EXPECT_EQ(ReadADC(2, buf), 0);
    EXPECT_STREQ(buf, "+QADC: 1,1400");
    EXPECT_EQ(ReadADC(7, buf), 50);
    EXPECT_EQ(GpsInit(), 0);
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 0);
    EXPECT_STREQ(buf, "READY");
    EXPECT_EQ(SendAT("AT+NOSUCH", "", 1, buf), 4);
    EXPECT_EQ(sim.inject("at.answer at+cpin? 10 \"+CME ERROR: 10\""), "");
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 10);
    EXPECT_STREQ(buf, "+CME ERROR: 10");

    EXPECT_EQ(sim.inject(R"(at.urc "+CMTI: \"SM\",3" hello)"), "");
    ASSERT_TRUE(pump_until([] { return !g_urcs.empty(); }));
    EXPECT_EQ(g_urcs, std::vector<std::string>{"+CMTI: \"SM\",3|hello"});
    EXPECT_EQ(sim.received("ky.at SendAtCmd").size(), 14u);
}

TEST(Simulator, ParametersAreTypedLimitedAndSurviveARestart) {
    TempDir state;
    tbox::sim::Options options;
    options.state_dir = state.path;
    {
        SimRunner sim(options);
        ASSERT_EQ(sim.failure(), "");
        auto param = proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param");
        struct Row {
            int index;
            const char *value;
            const char *error;
        };
        const Row rows[] = {{1, "45", ""},
                            {1, "9", "ky.param.Error.InvalidValue"},
                            {1, "601", "ky.param.Error.InvalidValue"},
                            {1, "abc", "ky.param.Error.InvalidValue"},
                            {1, "0x20", "ky.param.Error.InvalidValue"},
                            {6, "TOO-SHORT", "ky.param.Error.InvalidValue"},
                            {6, "LSVAU2180N2183295", ""},
                            {3, "", "ky.param.Error.InvalidValue"},
                            {99, "1", "ky.param.Error.UnknownParameter"}};
        for (const auto &r : rows) {
            EXPECT_EQ(
                outcome([&](GError **e) { ky_param_call_set_param_sync(param.get(), r.index, r.value, nullptr, e); }),
                r.error)
                << r.index << " " << r.value;
        }
        gint type = 0;
        EXPECT_EQ(outcome([&](GError **e) { ky_param_call_get_param_type_sync(param.get(), 1, &type, nullptr, e); }),
                  "");
        EXPECT_EQ(type, 1);
        EXPECT_EQ(outcome([&](GError **e) { ky_param_call_get_param_type_sync(param.get(), 3, &type, nullptr, e); }),
                  "");
        EXPECT_EQ(type, 2);
        EXPECT_EQ(
            outcome([&](GError **e) { ky_param_call_set_param_max_min_sync(param.get(), 1, 10, 20, nullptr, e); }),
            "ky.param.Error.InvalidLimits");
        EXPECT_EQ(
            outcome([&](GError **e) { ky_param_call_set_param_max_min_sync(param.get(), 1, 100, 50, nullptr, e); }),
            "");
        EXPECT_EQ(outcome([&](GError **e) { ky_param_call_set_param_sync(param.get(), 1, "60", nullptr, e); }), "");
    }
    EXPECT_EQ(state.entries(), 1) << "one state file, no temporary left behind";

    SimRunner again(options);
    ASSERT_EQ(again.failure(), "");
    auto param = proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param");
    gchar *value = nullptr;
    EXPECT_EQ(outcome([&](GError **e) { ky_param_call_get_param_sync(param.get(), 1, &value, nullptr, e); }), "");
    EXPECT_STREQ(value, "60");
    g_free(value);
    EXPECT_EQ(outcome([&](GError **e) { ky_param_call_get_param_sync(param.get(), 6, &value, nullptr, e); }), "");
    EXPECT_STREQ(value, "LSVAU2180N2183295");
    g_free(value);
    EXPECT_EQ(outcome([&](GError **e) { ky_param_call_set_param_sync(param.get(), 1, "45", nullptr, e); }),
              "ky.param.Error.InvalidValue")
        << "the limits were kept too";
}

TEST(Simulator, DamagedStateLinesAreNamedAndSkipped) {
    TempDir state;
    tbox::test::put(state / "param.state", "1 1 10 600 77\nnot a line\n4 1 1 65535 99999\n5 2 0 32 apn\\twith tab\n");
    tbox::sim::Options options;
    options.state_dir = state.path;
    Complaints complaints;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    EXPECT_TRUE(complaints.has(state / "param.state:2: "));
    EXPECT_TRUE(complaints.has(state / "param.state:3: 99999 is outside 1..65535"));
    auto param = proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param");
    const std::pair<int, const char *> expected[] = {{1, "77"}, {4, "8883"}, {5, "apn\twith tab"}};
    for (const auto &[index, text] : expected) {
        gchar *value = nullptr;
        EXPECT_EQ(outcome([&](GError **e) { ky_param_call_get_param_sync(param.get(), index, &value, nullptr, e); }),
                  "");
        EXPECT_STREQ(value, text) << index;
        g_free(value);
    }
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
    auto ip = [&](int profile) {
        gchar *value = nullptr;
        const std::string e =
            outcome([&](GError **err) { ky_net_call_get_net_ip_sync(net.get(), profile, &value, nullptr, err); });
        std::string out = e.empty() ? value : e;
        g_free(value);
        return out;
    };
    EXPECT_EQ(status(1) + " " + ip(1), "1 10.64.21.117");
    EXPECT_EQ(status(14) + " " + ip(14), "0 ");
    EXPECT_EQ(status(0), "ky.net.Error.InvalidProfile");
    EXPECT_EQ(ip(15), "ky.net.Error.InvalidProfile");

    SignalRecorder signals;
    EXPECT_EQ(sim.inject("net.down 1"), "");
    EXPECT_EQ(sim.inject("net.up 3 192.168.7.2"), "");
    EXPECT_EQ(sim.inject("net.up 15"), "net.up: profile 15 is outside 1-14");
    EXPECT_EQ(sim.inject("net.up 2 999.1.1.1"), "net.up: \"999.1.1.1\" is not an IP address");
    ASSERT_TRUE(pump_until([&] { return signals.count("NetStatus") == 2; }));
    EXPECT_EQ(signals.of("NetStatus")[0].args + signals.of("NetStatus")[1].args, "(false,)(true,)");
    EXPECT_EQ(status(1) + " " + ip(1), "0 ");
    EXPECT_EQ(status(3) + " " + ip(3), "1 192.168.7.2");
}

TEST(Simulator, WifiRefusesWhatTheRadioCannotDo) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    auto wifi = proxy(ky_wifi_proxy_new_for_bus_sync, "ky.wifi", "/ky/wifi");
    KyWifi *w = wifi.get();
    auto status = [&] {
        gint s = -1;
        ky_wifi_call_get_wifi_status_sync(w, &s, nullptr, nullptr);
        return s;
    };
    auto ap = [&](const char *ssid, const char *password, int security) {
        return outcome([&](GError **e) {
            ky_wifi_call_set_wifi_ap_info_sync(w, g_variant_new("(ssi)", ssid, password, security), 0, nullptr, e);
        });
    };
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_start_wifi_ap_sync(w, nullptr, e); }), "ky.wifi.Error.Disabled");
    EXPECT_EQ(status(), 0);
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_enable_wifi_sync(w, nullptr, e); }), "");
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(ap("", "password1", 1), "ky.wifi.Error.InvalidApInfo");
    EXPECT_EQ(ap("0123456789012345678901234567890X", "password1", 1), "ky.wifi.Error.InvalidApInfo");  // 32
    EXPECT_EQ(ap("depot", "short", 1), "ky.wifi.Error.InvalidApInfo");
    EXPECT_EQ(ap("depot", "password1", 0), "ky.wifi.Error.InvalidApInfo");
    EXPECT_EQ(ap("0123456789012345678901234567890", "0123456789012345678901234567890", 2), "");  // 31 and 31
    GVariant *info = nullptr;
    ASSERT_EQ(outcome([&](GError **e) { ky_wifi_call_get_wifi_ap_info_sync(w, &info, nullptr, e); }), "");
    gchar *printed = g_variant_print(info, FALSE);
    EXPECT_STREQ(printed, "('0123456789012345678901234567890', '0123456789012345678901234567890', 2)");
    g_free(printed);
    g_variant_unref(info);
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_start_wifi_ap_sync(w, nullptr, e); }), "");
    EXPECT_EQ(status(), 2);
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_connet_wifi_sta_to_ap_sync(w, "depot-wlan", "", nullptr, e); }),
              "ky.wifi.Error.StationOff");
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_set_wifi_mode_sync(w, 2, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_start_wifi_sta_sync(w, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_connet_wifi_sta_to_ap_sync(w, "elsewhere", "", nullptr, e); }),
              "ky.wifi.Error.NotFound");
    EXPECT_EQ(
        outcome([&](GError **e) { ky_wifi_call_connet_wifi_sta_to_ap_sync(w, "depot-wlan", "1234", nullptr, e); }),
        "ky.wifi.Error.InvalidPassword");
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_connet_wifi_sta_to_ap_sync(w, "depot-wlan", "", nullptr, e); }),
              "");
    EXPECT_EQ(status(), 4);
    EXPECT_EQ(outcome([&](GError **e) { ky_wifi_call_disable_wifi_sync(w, nullptr, e); }), "");
    EXPECT_EQ(status(), 0);
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
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_set_sleep_event_sync(p, "", nullptr, e); }),
              "ky.pm.Error.InvalidEvent");
    EXPECT_EQ(sim.inject("pm.sleep"), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_clean_sleep_event_sync(p, "ota", nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_clean_sleep_event_sync(p, "ota", nullptr, e); }),
              "ky.pm.Error.NoSuchEvent");
    pump_for(100);
    EXPECT_EQ(changes(), "") << "one sleep event still holds sleep off";
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_clean_sleep_event_sync(p, "call", nullptr, e); }), "");
    ASSERT_TRUE(pump_until([&] { return !changes().empty(); }));
    EXPECT_EQ(changes(), "Power(0x03, 0x00, 0)");
    guchar state = 0;
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_get_power_state_sync(p, &state, nullptr, e); }), "");
    EXPECT_EQ(state, 3);

    signals.signals.clear();
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_create_sleep_alarm_sync(p, 1, 7, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_create_sleep_alarm_sync(p, 1, 8, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_create_sleep_alarm_sync(p, 0, 9, nullptr, e); }),
              "ky.pm.Error.InvalidTimeout");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_delete_sleep_alarm_sync(p, 8, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_delete_sleep_alarm_sync(p, 8, nullptr, e); }),
              "ky.pm.Error.NoSuchAlarm");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until([&] { return !changes().empty(); }, 3000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
    pump_for(300);
    EXPECT_EQ(changes(), "Power(0x01, 0x03, 7)") << "woken by alarm 7 only";
    guchar source = 0;
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_get_wake_up_source_sync(p, &source, nullptr, e); }), "");
    EXPECT_EQ(source, 3);

    signals.signals.clear();
    EXPECT_EQ(sim.inject("pm.sleep"), "");
    EXPECT_EQ(sim.inject("pm.gsensor"), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_pm_call_wakeup_sync(p, 6, nullptr, e); }), "") << "awake already: no signal";
    ASSERT_TRUE(pump_until([&] { return signals.count("PowerStateChanged") == 2; }));
    pump_for(50);
    EXPECT_EQ(changes(), "Power(0x03, 0x00, 0)Gsens()Power(0x01, 0x04, 0)");
}

TEST(Simulator, GbRecordsArePeriodicAndTheAlarmStateIsPublished) {
    tbox::sim::Options options;
    options.gb_interval_ms = 40;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    SignalRecorder signals;
    ASSERT_TRUE(pump_until([&] { return signals.count("GbRealData") >= 3; }));
    const auto records = signals.of("GbRealData");
    // Records in a row carry consecutive sequence numbers (bytes 20-21) and start at 2026-01-01 00:00.
    for (size_t i = 1; i < 3; ++i) {
        GVariant *a = g_variant_parse(G_VARIANT_TYPE("(iay)"), records[i - 1].args.c_str(), nullptr, nullptr, nullptr);
        GVariant *b = g_variant_parse(G_VARIANT_TYPE("(iay)"), records[i].args.c_str(), nullptr, nullptr, nullptr);
        ASSERT_TRUE(a != nullptr && b != nullptr) << records[i].args;
        gsize na = 0, nb = 0;
        GVariant *ba = g_variant_get_child_value(a, 1), *bb = g_variant_get_child_value(b, 1);
        const auto *ra = static_cast<const guint8 *>(g_variant_get_fixed_array(ba, &na, 1));
        const auto *rb = static_cast<const guint8 *>(g_variant_get_fixed_array(bb, &nb, 1));
        ASSERT_EQ(na, 23u);
        ASSERT_EQ(nb, 23u);
        EXPECT_EQ((rb[20] << 8 | rb[21]) - (ra[20] << 8 | ra[21]), 1);
        if (i == 1) {
            EXPECT_EQ(std::vector<int>(ra, ra + 6), std::vector<int>({26, 1, 1, 0, 0, 0}));
        }
        g_variant_unref(ba);
        g_variant_unref(bb);
        g_variant_unref(a);
        g_variant_unref(b);
    }
    EXPECT_EQ(sim.inject("gb.interval 0"), "");
    signals.signals.clear();
    EXPECT_EQ(sim.inject("gb.alarm 1"), "");
    EXPECT_EQ(sim.inject("gb.alarm 1"), "");
    EXPECT_EQ(tbox::test::get_all("ky.gbreal", "/ky/gbreal", "ky.gbreal"), "({'AlarmState': <true>},)");
    pump_for(100);
    EXPECT_EQ(signals.count("PropertiesChanged"), 1u) << "a set to the same value publishes nothing";
    EXPECT_EQ(sim.inject("gb.kl15 0 1"), "");
    auto proxy_gb = proxy(ky_gbreal_proxy_new_for_bus_sync, "ky.gbreal", "/ky/gbreal");
    gint kl15 = -1, charging = -1;
    EXPECT_EQ(outcome([&](GError **e) {
                  ky_gbreal_call_get_kl15_and_charging_status_sync(proxy_gb.get(), &kl15, &charging, nullptr, e);
              }),
              "");
    EXPECT_EQ(std::make_pair(kl15, charging), std::make_pair(0, 1));
    EXPECT_TRUE(ky_gbreal_get_alarm_state(proxy_gb.get()));
}

TEST(Simulator, GbRecordEventsCarryTheirBytesAndLength) {
    tbox::sim::Options options;
    options.gb_interval_ms = 0;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    SignalRecorder signals;
    EXPECT_EQ(sim.inject("gb.record 010203"), "");
    EXPECT_EQ(sim.inject("gb.record 0102 5"), "");
    EXPECT_EQ(sim.inject("gb.record 01F"), "gb.record: data must be hex bytes (e.g. A1B2, - for none), not \"01F\"");
    ASSERT_TRUE(pump_until([&] { return signals.count("GbRealData") == 2; }));
    EXPECT_EQ(signals.of("GbRealData")[0].args, "(3, [0x01, 0x02, 0x03])");
    EXPECT_EQ(signals.of("GbRealData")[1].args, "(5, [0x01, 0x02])");
}

// A gzip-compressed tar, a gzip file that is no tar, a tar that is not compressed.
void make_packages(const TempDir &dir) {
    tbox::test::put(dir / "app.bin", "new firmware");
    tbox::test::run("tar -C " + dir.path + " -czf " + (dir / "pkg.tgz") + " app.bin");
    tbox::test::run("tar -C " + dir.path + " -cf " + (dir / "pkg.tar") + " app.bin");
    tbox::test::run("gzip -c " + (dir / "app.bin") + " > " + (dir / "plain.gz"));
}

TEST(Simulator, UpgradeBindsOneProcessAndInstallsOnlyGzipTars) {
    TempDir dir;
    make_packages(dir);
    tbox::sim::Options options;
    options.upgrade_ms = 300;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    auto update = proxy(ky_update_proxy_new_for_bus_sync, "ky.update", "/ky/update");
    KyUpdate *u = update.get();
    auto start = [&](const std::string &path) {
        gchar *text = nullptr;
        std::string e =
            outcome([&](GError **err) { ky_update_call_start_upgrade_sync(u, path.c_str(), 1, &text, nullptr, err); });
        if (e.empty()) e = text;
        g_free(text);
        return e;
    };
    auto status = [&] {
        gint s = -100;
        ky_update_call_get_upgrade_status_sync(u, &s, nullptr, nullptr);
        return s;
    };
    gint bound = -1;
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_unbind_upgrade_sync(u, FALSE, nullptr, e); }),
              "ky.update.Error.NotBound");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(u, 100, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(u, 100, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(u, 200, nullptr, e); }),
              "ky.update.Error.Busy");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_get_bind_id_sync(u, &bound, nullptr, e); }), "");
    EXPECT_EQ(bound, 100);

    for (const char *bad : {"missing.tgz", "plain.gz", "pkg.tar", "app.bin"}) {
        EXPECT_EQ(start(dir / bad), "ky.update.Error.BadPackage") << bad;
    }
    EXPECT_EQ(status(), 0);
    EXPECT_EQ(start(dir / "pkg.tgz"), "upgrade:package accepted");
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(start(dir / "pkg.tgz"), "ky.update.Error.Busy");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_unbind_upgrade_sync(u, FALSE, nullptr, e); }),
              "ky.update.Error.Busy");
    ASSERT_TRUE(pump_until([&] { return status() != 1; }, 3000));
    EXPECT_EQ(status(), 0);

    EXPECT_EQ(sim.inject("update.outcome 1"), "update.outcome: 1 means in progress, not an outcome");
    EXPECT_EQ(sim.inject("update.outcome 7"), "");
    EXPECT_EQ(start(dir / "pkg.tgz"), "upgrade:package accepted");
    ASSERT_TRUE(pump_until([&] { return status() != 1; }, 3000));
    EXPECT_EQ(status(), 7);

    gint can = -1;
    EXPECT_EQ(sim.inject("update.can-parser 2"), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_get_can_parser_status_sync(u, &can, nullptr, e); }), "");
    EXPECT_EQ(can, 2);
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_unbind_upgrade_sync(u, TRUE, nullptr, e); }), "");
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_get_bind_id_sync(u, &bound, nullptr, e); }), "");
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(outcome([&](GError **e) { ky_update_call_bind_upgrade_sync(u, 200, nullptr, e); }), "");
}

TEST(Simulator, BtEcallGsensorAndMonitorAnswerFromStateAndSignalOnEvents) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    auto bt = proxy(ky_bt_proxy_new_for_bus_sync, "ky.bt", "/ky/bt");
    auto ecall = proxy(ky_ecall_proxy_new_for_bus_sync, "ky.ecall", "/ky/ecall");
    auto gsensor = proxy(ky_gsensor_proxy_new_for_bus_sync, "ky.gsensor", "/ky/gsensor");
    auto monitor = proxy(ky_monitor_proxy_new_for_bus_sync, "ky.monitor", "/ky/monitor");
    struct Row {
        const char *what;
        std::function<std::string()> call;
        const char *expected;
    };
    auto text = [](gchar *s) {
        std::string out = s != nullptr ? s : "(null)";
        g_free(s);
        return out;
    };
    auto print = [](GVariant *v) {
        gchar *p = g_variant_print(v, FALSE);
        std::string out = p;
        g_free(p);
        g_variant_unref(v);
        return out;
    };
    const Row rows[] = {
        {"bt name",
         [&] {
             gchar *s = nullptr;
             ky_bt_call_get_btname_sync(bt.get(), &s, nullptr, nullptr);
             return text(s);
         },
         "TBOX-SIM"},
        {"bt empty name",
         [&] { return outcome([&](GError **e) { ky_bt_call_set_bt_name_sync(bt.get(), "", nullptr, e); }); },
         "ky.bt.Error.InvalidName"},
        {"bt new name",
         [&] { return outcome([&](GError **e) { ky_bt_call_set_bt_name_sync(bt.get(), "CAR-7", nullptr, e); }); }, ""},
        {"bt name again",
         [&] {
             gchar *s = nullptr;
             ky_bt_call_get_btname_sync(bt.get(), &s, nullptr, nullptr);
             return text(s);
         },
         "CAR-7"},
        {"bt send unconnected",
         [&] { return outcome([&](GError **e) { ky_bt_call_send_btdata_sync(bt.get(), "abc", 3, nullptr, e); }); },
         "ky.bt.Error.NotConnected"},
        {"bt connects", [&] { return sim.inject("bt.state 2"); }, ""},
        {"bt wrong length",
         [&] { return outcome([&](GError **e) { ky_bt_call_send_btdata_sync(bt.get(), "abc", 5, nullptr, e); }); },
         "ky.bt.Error.InvalidLength"},
        {"bt send",
         [&] { return outcome([&](GError **e) { ky_bt_call_send_btdata_sync(bt.get(), "abc", 3, nullptr, e); }); }, ""},
        {"ble key 1",
         [&] { return outcome([&](GError **e) { ky_bt_call_set_ble_key_sync(bt.get(), "k1", nullptr, e); }); }, ""},
        {"ble key 2",
         [&] { return outcome([&](GError **e) { ky_bt_call_set_ble_key_sync(bt.get(), "k2", nullptr, e); }); }, ""},
        {"ble delete 5",
         [&] { return outcome([&](GError **e) { ky_bt_call_delete_ble_key_sync(bt.get(), 5, nullptr, e); }); },
         "ky.bt.Error.NoSuchKey"},
        {"ble delete 0",
         [&] { return outcome([&](GError **e) { ky_bt_call_delete_ble_key_sync(bt.get(), 0, nullptr, e); }); }, ""},
        {"ble keys",
         [&] {
             gchar *s = nullptr;
             ky_bt_call_get_ble_key_sync(bt.get(), &s, nullptr, nullptr);
             return text(s);
         },
         "k2"},
        {"ecall idle",
         [&] {
             GVariant *v = nullptr;
             ky_ecall_call_get_ecall_statue_sync(ecall.get(), &v, nullptr, nullptr);
             return print(v);
         },
         "(0, 0)"},
        {"ecall crash", [&] { return sim.inject("ecall.call 1 2"); }, ""},
        {"ecall calling",
         [&] {
             GVariant *v = nullptr;
             ky_ecall_call_get_ecall_statue_sync(ecall.get(), &v, nullptr, nullptr);
             return print(v);
         },
         "(1, 2)"},
        {"ecall clear",
         [&] { return outcome([&](GError **e) { ky_ecall_call_clear_ecall_statue_sync(ecall.get(), nullptr, e); }); },
         ""},
        {"ecall cleared",
         [&] {
             GVariant *v = nullptr;
             ky_ecall_call_get_ecall_statue_sync(ecall.get(), &v, nullptr, nullptr);
             return print(v);
         },
         "(0, 0)"},
        {"threshold 0 g",
         [&] {
             return outcome(
                 [&](GError **e) { ky_gsensor_call_set_rapid_acc_threshold_sync(gsensor.get(), 0, 3, nullptr, e); });
         },
         "ky.gsensor.Error.InvalidValue"},
        {"threshold 0 samples",
         [&] {
             return outcome([&](GError **e) {
                 ky_gsensor_call_set_sudden_turn_threshold_sync(gsensor.get(), 0.5, 0, nullptr, e);
             });
         },
         "ky.gsensor.Error.InvalidCount"},
        {"threshold",
         [&] {
             return outcome([&](GError **e) {
                 ky_gsensor_call_set_rapid_deceleration_threshold_sync(gsensor.get(), 0.5, 3, nullptr, e);
             });
         },
         ""},
        {"z zero",
         [&] {
             return outcome([&](GError **e) { ky_gsensor_call_set_zzero_value_sync(gsensor.get(), 9.5, nullptr, e); });
         },
         ""},
        {"x zero too big",
         [&] {
             return outcome([&](GError **e) { ky_gsensor_call_set_xzero_value_sync(gsensor.get(), 25, nullptr, e); });
         },
         "ky.gsensor.Error.InvalidValue"},
        {"reading",
         [&] {
             sim.inject("gsensor.value 1.5 -2 9.75");
             GVariant *v = nullptr;
             ky_gsensor_call_get_gsensor_value_sync(gsensor.get(), &v, nullptr, nullptr);
             return print(v);
         },
         "(1.5, -2.0, 0.25)"},
        {"register",
         [&] {
             return outcome([&](GError **e) {
                 ky_monitor_call_register_monitor_process_sync(monitor.get(), g_variant_new("(isy)", 4242, "navi", 1),
                                                               nullptr, e);
             });
         },
         ""},
        {"register pid 0",
         [&] {
             return outcome([&](GError **e) {
                 ky_monitor_call_register_monitor_process_sync(monitor.get(), g_variant_new("(isy)", 0, "x", 1),
                                                               nullptr, e);
             });
         },
         "ky.monitor.Error.InvalidPid"},
        {"unregister unknown",
         [&] {
             return outcome([&](GError **e) {
                 ky_monitor_call_un_register_monitor_process_sync(monitor.get(), g_variant_new("(isy)", 7, "x", 1),
                                                                  nullptr, e);
             });
         },
         "ky.monitor.Error.NotRegistered"},
        {"alarm module",
         [&] {
             sim.inject("monitor.alarm 3");
             gint m = -1;
             ky_monitor_call_get_alarm_module_sync(monitor.get(), &m, nullptr, nullptr);
             return std::to_string(m);
         },
         "3"},
        {"query unknown", [&] { return sim.inject("monitor.query 7"); }, "monitor.query: pid is not registered"},
    };
    for (const auto &r : rows) EXPECT_EQ(r.call(), r.expected) << r.what;

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
    EXPECT_EQ(sim.inject("monitor.delete 4242"), "monitor.delete: pid is not registered");
}

std::string sentence(const std::string &body) {
    return tbox::sim::nmea::with_checksum(body);
}

TEST(Simulator, GnssReplaysTheLogPacedAndSkipsDamagedLines) {
    TempDir dir;
    const std::string log = dir / "drive.nmea";
    const std::string lines[] = {
        sentence("$GNRMC,083002.00,V,,,,,,,140326,,,N,V"),
        sentence("$GNRMC,083003.00,A,3113.8250,N,12128.4221,E,10.00,62.5,140326,,,A,V"),
        "$GNGGA,083003.00,3113.8250,N,12128.4221,E,1,09,0.8,4.4,M,9.8,M,,*00",  // checksum wrong
        "$GNGGA,083003.00,3113.82",                                             // cut short
        sentence("$GNGGA,083005.00,3113.8250,N,12128.4221,E,1,09,0.8,4.4,M,9.8,M,,"),
        sentence("$GNGSA,A,3,03,05,07,,,,,,,,,,1.3,0.8,1.0,1"),
        sentence("$GNRMC,083005.00,A,3113.8250,N,12128.4221,E,1O.0,62.5,140326,,,A,V"),  // letter O in a number
    };
    std::string text;
    for (const auto &l : lines) text += l + "\r\n";
    tbox::test::put(log, text);
    tbox::sim::Options options;
    options.nmea = log;
    options.speed = 10;  // the two seconds between the epochs take 200 ms
    Complaints complaints;
    SignalRecorder signals;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_TRUE(pump_until([&] { return signals.count("GpsOrignalUpdate") == 5; }, 3000));
    pump_for(100);
    std::vector<std::string> raw;
    for (const auto &s : signals.of("GpsOrignalUpdate")) raw.push_back(s.args);
    EXPECT_EQ(raw, (std::vector<std::string>{"('" + lines[0] + "',)", "('" + lines[1] + "',)", "('" + lines[4] + "',)",
                                             "('" + lines[5] + "',)", "('" + lines[6] + "',)"}));
    EXPECT_TRUE(complaints.has(log + ":3: bad checksum: sentence says 00, computed"));
    EXPECT_TRUE(complaints.has(log + ":4: cut short: no *checksum"));
    EXPECT_TRUE(complaints.has(log + ":7: RMC speed \"1O.0\""));

    std::vector<std::string> parsed;
    for (const auto &s : signals.of("GpsParseredUpdate")) parsed.push_back(s.args);
    EXPECT_EQ(parsed, (std::vector<std::string>{"((0, 0, 0, 0, 0, 0, 0, 0, 20260314, 83002),)",
                                                "((1, 31230417, 121473702, 0, 185, 625, 0, 0, 20260314, 83003),)",
                                                "((1, 31230417, 121473702, 44, 185, 625, 9, 8, 20260314, 83005),)"}));
    EXPECT_EQ(signals.count("GpsSyncTime"), 1u);
    EXPECT_EQ(signals.of("GpsSyncTime")[0].args, "(1,)");

    // The second epoch came about two seconds / 10 after the first.
    auto gnss = proxy(ky_gnss_proxy_new_for_bus_sync, "ky.gnss", "/ky/gnss");
    GVariant *value = nullptr;
    ASSERT_EQ(outcome([&](GError **e) { ky_gnss_call_get_gps_data_sync(gnss.get(), &value, nullptr, e); }), "");
    gchar *printed = g_variant_print(value, FALSE);
    EXPECT_STREQ(printed, "(1, 31230417, 121473702, 44, 185, 625, 9, 8, 20260314, 83005)");
    g_free(printed);
    g_variant_unref(value);
}

TEST(Simulator, GnssPacesEpochsByTheirTimeDividedBySpeed) {
    TempDir dir;
    const std::string log = dir / "two.nmea";
    tbox::test::put(log, sentence("$GNGGA,083000.00,,,,,0,00,99.9,,,,,,") + "\n" +
                             sentence("$GNGGA,083003.00,,,,,0,00,99.9,,,,,,") + "\n");
    tbox::sim::Options options;
    options.nmea = log;
    options.speed = 10;
    SignalRecorder signals;
    std::vector<std::chrono::steady_clock::time_point> seen;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_TRUE(pump_until([&] {
        while (seen.size() < signals.count("GpsOrignalUpdate")) seen.push_back(std::chrono::steady_clock::now());
        return seen.size() == 2;
    }));
    const auto gap = seen[1] - seen[0];
    EXPECT_GE(gap, std::chrono::milliseconds(250));
    EXPECT_LT(gap, std::chrono::milliseconds(1500)) << "not three real seconds";
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
    auto call = [&](const char *method, GVariant *args, std::string *reply = nullptr) {
        return outcome([&](GError **e) {
            GVariant *r = g_dbus_connection_call_sync(bus, "ky.sim", "/ky/sim", "ky.sim", method, args, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, e);
            if (r == nullptr) return;
            if (reply != nullptr) {
                gchar *p = g_variant_print(r, FALSE);
                *reply = p;
                g_free(p);
            }
            g_variant_unref(r);
        });
    };
    struct Row {
        const char *method;
        GVariant *args;
        const char *error;
    };
    const Row rows[] = {
        {"Inject", g_variant_new("(i)", 5), "org.freedesktop.DBus.Error.InvalidArgs"},
        {"Inject", g_variant_new("(ss)", "net.down", "1"), "org.freedesktop.DBus.Error.InvalidArgs"},
        {"Received", nullptr, "org.freedesktop.DBus.Error.InvalidArgs"},
        {"Inject", g_variant_new("(s)", "net.down"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "nosuch.event 1"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "mcu.send 0x0201 0 AA"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "at.urc \"unterminated"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "pm.wake 300"), "ky.sim.Error.BadEvent"},
        {"Inject", g_variant_new("(s)", "net.quality 2 9"), ""},
    };
    for (const auto &r : rows) EXPECT_EQ(call(r.method, r.args), r.error) << r.method;
    EXPECT_EQ(sim.inject("mcu.send 0x0201 0 AA"), "event mcu.send needs the queue services (--queues)");
    EXPECT_EQ(sim.inject("net.down"), "net.down: takes 1 argument (profile:i), got 0");

    auto net = proxy(ky_net_proxy_new_for_bus_sync, "ky.net", "/ky/net");
    gint quality = 0;
    EXPECT_EQ(outcome([&](GError **e) { ky_net_call_get_net_quality_sync(net.get(), 2, &quality, nullptr, e); }), "");
    EXPECT_EQ(quality, 9);
    ky_net_call_get_net_status_sync(net.get(), 14, &quality, nullptr, nullptr);
    std::string reply;
    EXPECT_EQ(call("Received", g_variant_new("(s)", "ky.net"), &reply), "");
    EXPECT_EQ(reply, "(['ky.net GetNetQuality (2,)', 'ky.net GetNetStatus (14,)'],)");
    EXPECT_EQ(call("ClearReceived", nullptr), "");
    EXPECT_EQ(call("Received", g_variant_new("(s)", ""), &reply), "");
    EXPECT_EQ(reply, "([],)");
    EXPECT_EQ(call("Events", nullptr, &reply), "");
    for (const char *prefix : {"'at.", "'bt.", "'ecall.", "'gb.", "'gnss.", "'gsensor.", "'monitor.", "'net.",
                               "'param.", "'pm.", "'update.", "'wifi."}) {
        EXPECT_NE(reply.find(prefix), std::string::npos) << prefix;
    }
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
    EXPECT_EQ(outcome([&](GError **e) { ky_param_call_set_param_sync(param1.get(), 2, "100", nullptr, e); }), "");
    EXPECT_EQ(one.inject("net.down 1"), "");
    gchar *value = nullptr;
    gint status = -1;
    ky_param_call_get_param_sync(param2.get(), 2, &value, nullptr, nullptr);
    ky_net_call_get_net_status_sync(net2.get(), 1, &status, nullptr, nullptr);
    EXPECT_STREQ(value, "10");
    EXPECT_EQ(status, 1);
    g_free(value);
    EXPECT_EQ(one.received("ky.param").size(), 1u);
    EXPECT_EQ(two.received("ky.param").size(), 1u);
    EXPECT_EQ(a.entries(), 1);
    EXPECT_EQ(b.entries(), 0) << "the second simulator wrote nothing";
    g_object_unref(bus2);
}

}  // namespace
