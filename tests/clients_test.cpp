// The six platform-service clients (GNSS, parameters, network, Wi-Fi, power management, GB real-time
// data) against fake services on a private bus: results, arguments on the wire, lines logged or printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "support/box_fakes.h"
#include "support/kept_texts.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "support/test_bus.h"
#include "tbox/tbox.h"

using tbox::test::fake;
using tbox::test::FakeService;
using tbox::test::LogCapture;
using tbox::test::PrintCapture;
using tbox::test::pump_until;

namespace {

using Strings = std::vector<std::string>;
Strings g_seen;  // what the callbacks received, in order

// GIO's message for a method that the fake service does not claim.
std::string unclaimed(const std::string &member, const std::string &interface) {
    return "GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method " + member +
           " is not implemented on interface " + interface;
}

GVariant *ten(int first) {
    return g_variant_new("(iiiiiiiiii)", first, 2, 3, 4, 5, 6, 7, 8, 9, -10);
}

TEST(Clients, InitialisationWithoutABusFailsWithTheModulesOwnLineAndALaterOneSucceeds) {
    struct Row {
        std::function<int()> init;
        int failure;
        std::string line;  // before GIO's message; logged or printed
    };
    const Row rows[] = {
        {[] { return int{InitGNSSInterface(nullptr, nullptr)}; }, 255, "Error:new proxy for gnss["},
        {InitParamsInterface, -1, "Error:new proxy for param["},
        {InitNetInterface, -1, "[NET] init dbus proxy error: "},
        {InitWifiInterface, -1, "Error:new proxy for wifi["},
        {[] { return InitPmClient("nav"); }, -1, "Error:new proxy PM Error.ModuleName:[nav],Err:["},
        {[] { return InitGbRealDataClient([](int32_t, const uint8_t *) {}); }, -1, "Error:new proxy for GbReal["},
    };
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    GError *error = nullptr;
    g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    ASSERT_NE(error, nullptr);
    const std::string message = error->message;
    g_error_free(error);
    for (const Row &row : rows) {
        LogCapture log;
        PrintCapture printed;
        EXPECT_EQ(row.init(), row.failure);
        const std::string line = row.line + message;
        EXPECT_TRUE(printed.take().find(line) != std::string::npos || log.contains(line)) << row.line;
    }
    tbox::test::private_bus_address();  // the bus appears
    for (const Row &row : rows) EXPECT_EQ(row.init(), 0);
}

std::string fields(const GnssRecord &r) {
    std::string out;
    for (int32_t f : r.field) out += std::to_string(f) + " ";
    return out;
}

TEST(Gnss, RecordsAreCopiedInOrderAndTheForceSyncFlagHoldsTheLatestValue) {
    FakeService gnss = fake("gnss");
    PrintCapture quiet;
    GnssRecord record{};
    EXPECT_EQ(GetForceSyncFlag(), 1);
    ASSERT_EQ(InitGNSSInterface([](const char *s) { g_seen.emplace_back(s); },
                                [](const GnssRecord *r) { g_seen.push_back(fields(*r)); }),
              0);
    // Positions in the four hemispheres, then numbers past any coordinate's range at the edges of int32.
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min(), kMax = std::numeric_limits<int32_t>::max();
    const std::pair<int32_t, int32_t> positions[] = {{31230416, 121473701},  {40712776, -74005974},
                                                     {-33868820, 151209296}, {-22906847, -43172896},
                                                     {kMin, kMax},           {kMax, kMin}};
    GnssRecord sent{};
    gnss.handle("handle-get-gps-data", [&sent](GDBusMethodInvocation *inv) {
        const int32_t *f = sent.field;
        ky_gnss_complete_get_gps_data(
            nullptr, inv, g_variant_new("(iiiiiiiiii)", f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]));
        return true;
    });
    gnss.run([&] { ky_gnss_emit_gps_orignal_update(gnss.skeleton<KyGnss>(), "$GNRMC,1"); });
    Strings expected{"$GNRMC,1"};
    for (const auto &[latitude, longitude] : positions) {
        sent = GnssRecord{{1, latitude, longitude, kMin, -1, 0, kMax, 8, 9, -10}};
        EXPECT_TRUE(GetGpsData(&record));
        EXPECT_EQ(fields(record), fields(sent));
        gnss.run([&] {
            const int32_t *f = sent.field;
            ky_gnss_emit_gps_parsered_update(
                gnss.skeleton<KyGnss>(),
                g_variant_new("(iiiiiiiiii)", f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]));
        });
        expected.push_back(fields(sent));
    }
    gnss.run([&] { ky_gnss_emit_gps_sync_time(gnss.skeleton<KyGnss>(), 0); });
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 0; }));
    EXPECT_EQ(g_seen, expected);
    for (int32_t flag : {7, kMin, kMax}) {
        gnss.run([&] { ky_gnss_emit_gps_sync_time(gnss.skeleton<KyGnss>(), flag); });
        EXPECT_TRUE(pump_until([flag] { return GetForceSyncFlag() == flag; })) << flag;
    }
}

// A parameter store: index -> (type, text); unknown indexes answer a D-Bus error.
struct ParamService {
    std::map<int, std::pair<int, std::string>> store{{1, {1, "42"}},         {2, {1, "abc"}}, {3, {1, "-7x"}},
                                                     {4, {1, "2147483647"}}, {5, {0, "apn"}}, {6, {1, "-2147483648"}}};
    FakeService service = fake("param");
    ParamService() {
        for (const char *method : {"handle-get-param-type", "handle-get-param", "handle-set-param"}) {
            service.handle(method, [this, method](GDBusMethodInvocation *inv) {
                gint index = 0;
                g_variant_get_child(g_dbus_method_invocation_get_parameters(inv), 0, "i", &index);
                const auto it = store.find(index);
                if (it == store.end()) {
                    const std::string why = "no parameter " + std::to_string(index);
                    g_dbus_method_invocation_return_dbus_error(inv, "ky.param.Error", why.c_str());
                } else if (std::strcmp(method, "handle-set-param") == 0) {
                    ky_param_complete_set_param(nullptr, inv);
                } else if (std::strcmp(method, "handle-get-param") == 0) {
                    ky_param_complete_get_param(nullptr, inv, it->second.second.c_str());
                } else {
                    ky_param_complete_get_param_type(nullptr, inv, it->second.first);
                }
                return true;
            });
        }
    }
};

TEST(Param, IntegersTravelAsDecimalTextAfterATypeQuery) {
    ParamService param;
    int number = 0;
    ASSERT_EQ(InitParamsInterface(), 0);
    for (const auto &[index, expected] : {std::pair{1, 42}, {2, 0}, {3, -7}, {4, 2147483647}, {6, -2147483647 - 1}}) {
        EXPECT_EQ(GetParamsValue(index, &number), 0);
        EXPECT_EQ(number, expected) << index;
    }
    for (int value : {-5, -2147483647 - 1}) EXPECT_EQ(SetParamsValue(1, &value), 0);
    EXPECT_EQ(param.service.calls_to("SetParam"), (Strings{"(1, '-5')", "(1, '-2147483648')"}));
    EXPECT_EQ(SetParamsMaxAndMin(7, 2147483647, -2147483647 - 1), -1);  // unclaimed by the fake
    EXPECT_EQ(param.service.calls_to("SetParamMaxMin"), Strings{"(7, 2147483647, -2147483648)"});
    Strings expected;
    for (const char *second : {"GetParam", "GetParam", "GetParam", "GetParam", "GetParam", "SetParam", "SetParam"}) {
        expected.insert(expected.end(), {"GetParamType", second});
    }
    expected.push_back("SetParamMaxMin");
    EXPECT_EQ(param.service.members(), expected);
}

TEST(Param, TextsAreCopiedWholeOrRefusedUnsentAndErrorsCarryTheirMessage) {
    ParamService param;
    ASSERT_EQ(InitParamsInterface(), 0);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetParamsValue(5, buffer), 0);
    EXPECT_EQ(std::string(buffer, 5), std::string("apn\0#", 5));
    const std::string longest(1023, 'x');
    EXPECT_EQ(SetParamsValue(5, longest.c_str()), 0);
    EXPECT_EQ(param.service.calls_to("SetParam"), Strings{"(5, '" + longest + "')"});
    LogCapture log;
    EXPECT_EQ(SetParamsValue(5, (longest + "x").c_str()), -1);
    EXPECT_EQ(SetParamsValue(5, "caf\xe9"), -1);
    EXPECT_EQ(GetParamsValue(9, buffer), -1);  // the type query fails: no second call
    EXPECT_EQ(SetParamsValue(9, buffer), -1);
    EXPECT_TRUE(log.has("get param error:GDBus.Error:ky.param.Error: no parameter 9\n"));
    EXPECT_EQ(param.service.count("SetParam"), 1u);
    EXPECT_EQ(param.service.count("GetParam"), 1u);
}

// A network service whose profile n has dial status 10 * n and address 10.0.0.n, except `failing`.
struct NetService {
    int failing = 0;
    FakeService service = fake("net");
    NetService() {
        for (const char *method : {"handle-get-net-status", "handle-get-net-ip"}) {
            service.handle(method, [this, method](GDBusMethodInvocation *inv) {
                gint index = 0;
                g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &index);
                if (index == failing) {
                    g_dbus_method_invocation_return_dbus_error(inv, "ky.net.Error", "modem busy");
                } else if (std::strcmp(method, "handle-get-net-ip") == 0) {
                    ky_net_complete_get_net_ip(nullptr, inv, ("10.0.0." + std::to_string(index)).c_str());
                } else {
                    ky_net_complete_get_net_status(nullptr, inv, 10 * index);
                }
                return true;
            });
        }
    }
};

TEST(Net, EachSignalCallsBackSlot0ThenSlot1AndProfileIndexesOutside1To14AreRefusedFirst) {
    static NetService net;  // the callback also notes how many reads preceded it
    auto on_change = [](int slot, int status) {
        g_seen.push_back(std::to_string(slot) + ":" + std::to_string(status) + " after " +
                         std::to_string(net.service.count("GetNetStatus")));
    };
    char ip[16] = "untouched";
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack(on_change), 0);  // allowed before initialisation
    ASSERT_EQ(InitNetInterface(), 0);
    net.failing = 2;
    net.service.run([&] { ky_net_emit_net_status(net.service.skeleton<KyNet>(), TRUE); });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 2; }));
    tbox::test::pump_for(100);
    EXPECT_EQ(g_seen, (Strings{"0:10 after 1", "1:-1 after 2"}));
    for (const auto &[index, expected] : {std::pair{0, -40}, {1, 10}, {14, 140}, {15, -40}}) {
        EXPECT_EQ(GetNetWorkStatus(index), expected) << index;
    }
    EXPECT_EQ(GetNetWorkIp(0, nullptr), ERR_NET_PROFILE_INDEX_INVALID);  // the index test comes first
    EXPECT_EQ(net.service.calls_to("GetNetStatus"), (Strings{"(1,)", "(2,)", "(1,)", "(14,)"}));
    LogCapture log;
    net.failing = 3;
    EXPECT_EQ(GetNetWorkIp(3, ip), -1);
    EXPECT_STREQ(ip, "untouched");
    EXPECT_TRUE(log.has("get [3]ip error:GDBus.Error:ky.net.Error: modem busy\n"));
    EXPECT_EQ(GetNetWorkIp(14, ip), 0);
    EXPECT_STREQ(ip, "10.0.0.14");
}

TEST(Wifi, EachFunctionGivesItsResult) {
    struct Case {
        int (*function)();
        const char *handler, *member;
        int result;
    };
    const Case cases[] = {
        {ClientGetWifiStatus, "get-wifi-status", "GetWifiStatus", 3},
        {[] { return SetWiFiMode(2); }, "set-wifi-mode", "SetWifiMode", 0},
        {DisableWifi, "disable-wifi", "DisableWifi", 0},
        {EnableWiFi, "enable-wifi", "EnableWifi", 0},
        {StopWiFiAp, "stop-wifi-ap", "StopWifiAp", 0},
        {StartWiFiAp, "start-wifi-ap", "StartWifiAp", 0},
        {StopWiFiSta, "stop-wifi-sta", "StopWifiSta", 0},
        {StartWiFiSta, "start-wifi-sta", "StartWifiSta", 0},
        {[] { return ConnectWiFiStaToApp("home", "secret"); }, "connet-wifi-sta-to-ap", "ConnetWifiStaToAp", 0},
    };
    FakeService wifi = fake("wifi");
    PrintCapture quiet;
    ASSERT_EQ(InitWifiInterface(), 0);
    for (const Case &c : cases) {
        wifi.reply((std::string("handle-") + c.handler).c_str(),
                   c.result != 0 ? g_variant_new("(i)", c.result) : nullptr);
        EXPECT_EQ(c.function(), c.result) << c.member;
    }
    EXPECT_NE(quiet.take().find(tbox::test::kept::kWifiSucces), std::string::npos);
    EXPECT_EQ(wifi.calls_to("SetWifiMode").back(), "(2,)");
    EXPECT_EQ(wifi.calls_to("ConnetWifiStaToAp").back(), "('home', 'secret')");
    EXPECT_EQ(ConnectWiFiStaToApp("home", "pa\xffss"), -1);
    EXPECT_EQ(wifi.count("ConnetWifiStaToAp"), 1u) << "refused unsent";
}

TEST(Wifi, AccessPointRecordsFillTheirFieldsOrAreRefusedWhole) {
    FakeService wifi = fake("wifi");
    std::string ssid = "abc", passwd = "12345678";
    wifi.handle("handle-get-wifi-ap-info", [&](GDBusMethodInvocation *inv) {
        ky_wifi_complete_get_wifi_ap_info(nullptr, inv, g_variant_new("(ssi)", ssid.c_str(), passwd.c_str(), 6));
        return true;
    });
    wifi.reply("handle-set-wifi-ap-info", nullptr);
    PrintCapture printed;  // keeps the lines out of the test's output
    ASSERT_EQ(InitWifiInterface(), 0);
    char bytes[sizeof(WiFiApInfo) + 8];
    auto *info = reinterpret_cast<WiFiApInfo *>(bytes);
    const std::pair<std::string, std::string> answers[] = {
        {"abc", "12345678"}, {std::string(32, 's'), ""}, {std::string(31, 's'), ""}};
    const int32_t six = 6;
    for (const auto &[s, p] : answers) {
        ssid = s, passwd = p;
        std::memset(bytes, '#', sizeof bytes);
        const bool fits = s.size() < 32 && p.size() < 32;
        EXPECT_EQ(GetWiFiApInfo(info), fits ? 0 : -1);
        std::string expected(sizeof bytes, '#');  // untouched on failure; the guard bytes after it always
        if (fits) {
            expected.replace(0, s.size() + 1, s + '\0');
            expected.replace(32, p.size() + 1, p + '\0');
            expected.replace(64, 4, reinterpret_cast<const char *>(&six), 4);
        }
        EXPECT_EQ(std::string(bytes, sizeof bytes), expected) << s << "|" << p;
    }
    WiFiApInfo record{"net", "pw", 11};
    EXPECT_EQ(SetWiFiApInfo(&record, 9), 0);
    std::memset(record.ssid, 'x', sizeof record.ssid);  // no terminator within the field
    EXPECT_EQ(SetWiFiApInfo(&record, 9), -1);
    EXPECT_EQ(wifi.calls_to("SetWifiApInfo"), Strings{"(('net', 'pw', 11), 9)"});
}

TEST(Pm, CallbacksNeedInitAndArgumentsAndAnswersPassUnchanged) {
    FakeService pm = fake("pm");
    const PmStateChangedCBack onState = [](uint8_t s, uint8_t w, int32_t id) {
        g_seen.push_back(std::to_string(s) + "," + std::to_string(w) + "," + std::to_string(id));
    };
    const PmGsensorWakeUpCBack onGsensor = [] { g_seen.push_back("gsensor"); };
    LogCapture log;
    EXPECT_EQ(RegisterPmStateChangeCBack(onState), -1);  // not initialised
    EXPECT_EQ(RegisterPmGsensorWakeUpCBack(onGsensor), -1);
    EXPECT_EQ(InitPmClient(nullptr), -1);
    ASSERT_EQ(InitPmClient("nav"), 0);
    pm.reply("handle-get-power-state", g_variant_new("(y)", 255));
    pm.reply("handle-get-wake-up-source", g_variant_new("(y)", 7));
    pm.reply("handle-get-mcu-heartbeat", g_variant_new("(i)", std::numeric_limits<int32_t>::max()));
    for (const char *method : {"handle-create-sleep-alarm", "handle-set-sleep-event", "handle-wakeup"}) {
        pm.reply(method, nullptr);
    }
    EXPECT_EQ(std::vector<int>({GetPmState(), GetPmWakeUpSource(), GetMcuHeartbeatStatus()}),
              (std::vector<int>{255, 7, std::numeric_limits<int32_t>::max()}));
    EXPECT_EQ(CreateSleepAlarm(2147483647, -2147483647 - 1), 0);
    EXPECT_EQ(Wakeup(-2147483647 - 1), 0);
    EXPECT_EQ(SetSleepEvent("gps"), 0);
    EXPECT_EQ(SetSleepEvent("\xc0\xafgps"), -1);  // not UTF-8: unsent
    EXPECT_EQ(CleanSleepEvent("gps"), -1);        // unclaimed by the fake
    EXPECT_EQ(pm.calls_to("CreateSleepAlarm"), Strings{"(2147483647, -2147483648)"});
    EXPECT_EQ(pm.calls_to("Wakeup"), Strings{"(-2147483648,)"});
    EXPECT_EQ(pm.calls_to("SetSleepEvent"), Strings{"('gps',)"});
    EXPECT_EQ(pm.calls_to("CleanSleepEvent"), Strings{"('gps',)"});
    EXPECT_EQ(RegisterPmStateChangeCBack(onState), 0);
    EXPECT_EQ(RegisterPmGsensorWakeUpCBack(onGsensor), 0);
    pm.run([&] {
        ky_pm_emit_power_state_changed(pm.skeleton<KyPm>(), 2, 5, 7);
        ky_pm_emit_gsensor_wake_up(pm.skeleton<KyPm>());
    });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 2; }));
    EXPECT_EQ(g_seen, (Strings{"2,5,7", "gsensor"}));
}

TEST(Gb, RecordsArriveWholeAndZeroFilledOrAreDroppedWithAWarning) {
    FakeService gb = fake("gbreal");
    static Strings records;  // length, then all the callback may read: 2048 bytes, or the length when longer
    LogCapture log;
    EXPECT_EQ(InitGbRealDataClient(nullptr), -1);
    ASSERT_EQ(InitGbRealDataClient([](int32_t length, const uint8_t *data) {
                  const size_t readable = std::max<size_t>(GB_RECORD_BUFFER_SIZE, static_cast<size_t>(length));
                  records.push_back(std::to_string(length) + ":" +
                                    std::string(reinterpret_cast<const char *>(data), readable));
              }),
              0);
    const std::string big(3000, 'Z');
    const std::pair<int32_t, std::string> signals[] = {{5, ""},
                                                       {-1, "\x01"},
                                                       {3001, big},  // empty, or lengths past the buffer: dropped
                                                       {2147483647, "\x01"},
                                                       {3, "\x01\x02\x03"},
                                                       {3000, big}};  // delivered
    for (const auto &signal : signals) {
        gb.run([&] {
            const std::string &bytes = signal.second;
            GVariant *array = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
            ky_gbreal_emit_gb_real_data(gb.skeleton<KyGbreal>(), signal.first, array);
        });
    }
    ASSERT_TRUE(pump_until([] { return records.size() == 2; }));
    tbox::test::pump_for(100);
    EXPECT_EQ(records, (Strings{"3:\x01\x02\x03" + std::string(2045, '\0'), "3000:" + big}));
    EXPECT_TRUE(log.has("Get GbRealData  Error\n"));
    EXPECT_TRUE(log.has("Drop GbRealData: recvDataLen[-1] outside the 2048-byte buffer of a 1-byte record\n"));
    EXPECT_TRUE(log.has("Drop GbRealData: recvDataLen[3001] outside the 3000-byte buffer of a 3000-byte record\n"));
    EXPECT_TRUE(log.has("Drop GbRealData: recvDataLen[2147483647] outside the 2048-byte buffer of a 1-byte record\n"));
}

TEST(Gb, AlarmFollowsThePublishedStateWithoutACallAndKl15IsReadOnce) {
    FakeService gb = fake("gbreal");
    int32_t kl15 = -9, charging = -9;
    EXPECT_EQ(IsAlarm(), 0);
    gb.run([&] { ky_gbreal_set_alarm_state(gb.skeleton<KyGbreal>(), TRUE); });
    ASSERT_EQ(InitGbRealDataClient([](int32_t, const uint8_t *) {}), 0);
    EXPECT_EQ(IsAlarm(), 1);
    gb.run([&] { ky_gbreal_set_alarm_state(gb.skeleton<KyGbreal>(), FALSE); });
    EXPECT_TRUE(pump_until([] { return IsAlarm() == 0; }));
    EXPECT_EQ(gb.calls_to("GetAll").size() + gb.calls_to("Get").size(), 1u);  // the proxy's load at creation
    gb.reply("handle-get-kl15-and-charging-status", g_variant_new("(ii)", -2147483647 - 1, 2147483647));
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), 0);
    EXPECT_EQ(kl15, -2147483647 - 1);
    EXPECT_EQ(charging, 2147483647);
    EXPECT_EQ(gb.members(), Strings{"GetKL15AndChargingStatus"});
}

// Every method of every client before initialisation (the failure result, nothing sent) and on a D-Bus
// error (each fake service claims nothing): the documented failure result and the documented line,
// logged, printed, or none at all. One row per method.
TEST(Clients, EveryMethodGivesItsFailureResultBeforeInitAndItsLineOnADBusError) {
    enum Sink { kLog, kPrint, kNone };
    struct Row {
        std::function<int()> call;
        int failure;
        Sink sink;
        std::string line;  // before GIO's message for the unclaimed member; "" when the line has none
        std::string member, interface;
        std::string after = "\n";
    };
    const tbox::test::BoxFakes box({"gnss", "param", "net", "wifi", "pm", "gbreal"});
    box["param"].handle("handle-get-param-type", [](GDBusMethodInvocation *inv) {  // answers for parameter 2 only
        gint index = 0;
        g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &index);
        if (index == 2) ky_param_complete_get_param_type(nullptr, inv, PARAM_TYPE_INT);
        return index == 2;
    });
    GnssRecord record{};
    int value = 0;
    char ip[16] = "";
    WiFiApInfo info{"net", "pw", 1};
    const Row rows[] = {
        {[&] { return GetGpsData(&record) ? 0 : -1; }, -1, kPrint, "get param error:", "GetGpsData", "ky.gnss"},
        {[&] { return GetParamsValueType(1, &value); }, -1, kLog, "get param error:", "GetParamType", "ky.param"},
        {[&] { return GetParamsValue(2, &value); }, -1, kLog, "get param error:", "GetParam", "ky.param"},
        {[&] { return SetParamsValue(2, &value); }, -1, kLog, "set param error:", "SetParam", "ky.param"},
        {[] { return SetParamsMaxAndMin(1, 9, 0); }, -1, kLog, "set  param max min error:", "SetParamMaxMin",
         "ky.param"},
        {[] { return GetNetWorkStatus(1); }, -1, kLog, "GET NET STATUS ERR\n", "", ""},
        {[&] { return GetNetWorkIp(1, ip); }, -1, kLog, "get [1]ip error:", "GetNetIp", "ky.net"},
        {ClientGetWifiStatus, -1, kPrint, "get WifiStatus error:", "GetWifiStatus", "ky.wifi"},
        {[] { return SetWiFiMode(1); }, -1, kPrint, "set wifiMode error:", "SetWifiMode", "ky.wifi"},
        {DisableWifi, 255, kPrint, "disable wifi error:", "DisableWifi", "ky.wifi"},
        {EnableWiFi, 255, kPrint, "enable wifi error:", "EnableWifi", "ky.wifi"},
        {[&] { return GetWiFiApInfo(&info); }, -1, kPrint, "get wifi apinfo error:", "GetWifiApInfo", "ky.wifi"},
        {[&] { return SetWiFiApInfo(&info, 1); }, -1, kPrint, "set wifi apinfo  error:", "SetWifiApInfo", "ky.wifi"},
        {StopWiFiAp, -1, kPrint, "stop wifi error:", "StopWifiAp", "ky.wifi"},
        {StartWiFiAp, -1, kPrint, "start wifi error:", "StartWifiAp", "ky.wifi"},
        {StopWiFiSta, -1, kPrint, "stop wifi sta error:", "StopWifiSta", "ky.wifi"},
        {StartWiFiSta, -1, kPrint, "start wifi error:", "StartWifiSta", "ky.wifi"},
        {[] { return ConnectWiFiStaToApp("a", "b"); }, -1, kPrint, "connection wifi error:", "ConnetWifiStaToAp",
         "ky.wifi"},
        {GetPmState, -1, kLog, "ModuleName[nav] GetPmState RPC Error[", "GetPowerState", "ky.pm", "]\n"},
        {GetPmWakeUpSource, -1, kLog, "ModuleName[nav] GetPmWakeUpSource RPC Error[", "GetWakeUpSource", "ky.pm",
         "]\n"},
        {GetMcuHeartbeatStatus, -1, kLog, "ModuleName[nav] GetMcuHeartbeatStatus RPC Error[", "GetMcuHeartbeat",
         "ky.pm", "]\n"},
        {[] { return Wakeup(1); }, -1, kLog, "ModuleName[nav] wakeup RPC error", "", "", ""},
        {[] { return SetSleepEvent("gps"); }, -1, kLog, "ModuleName[nav] DisableSleep(sleelEvent:gps) RPC Error[",
         "SetSleepEvent", "ky.pm", "] \n"},
        {[] { return CleanSleepEvent("gps"); }, -1, kLog, "ModuleName[nav] EnableSleep(sleelEvent:gps) RPC Error[",
         "CleanSleepEvent", "ky.pm", "] \n"},
        {[] { return CreateSleepAlarm(60, 3); }, -1, kLog, "ModuleName[nav] CreateSleepAlarm Failed,EventId[3]-Err[",
         "CreateSleepAlarm", "ky.pm", "]\n"},
        {[] {
             DeleteSleepAlarm(3);
             return -1;
         },
         -1, kLog, "ModuleName[nav] DeleteSleepAlarm Failed,sleepAlarmEventId[3]-Err[", "DeleteSleepAlarm", "ky.pm",
         "]\n"},
        {[] {
             int32_t kl15 = 0, charging = 0;
             return GetKL15AndChargingStatus(&kl15, &charging);
         },
         -1, kNone, "", "", ""},
    };
    for (const Row &row : rows) {  // not initialised: nothing sent, nothing printed
        PrintCapture printed;
        EXPECT_EQ(row.call(), row.failure) << row.line;
        EXPECT_EQ(printed.take(), "") << row.line;
    }
    for (const char *x : {"gnss", "param", "net", "wifi", "pm", "gbreal"}) EXPECT_EQ(box[x].members(), Strings{}) << x;
    {
        PrintCapture quiet;
        ASSERT_EQ(InitGNSSInterface(nullptr, nullptr), 0);
        ASSERT_EQ(InitParamsInterface(), 0);
        ASSERT_EQ(InitNetInterface(), 0);
        ASSERT_EQ(InitWifiInterface(), 0);
        ASSERT_EQ(InitPmClient("nav"), 0);
        ASSERT_EQ(InitPmClient("other"), 0);  // the first name stays in the lines
        ASSERT_EQ(InitGbRealDataClient([](int32_t, const uint8_t *) {}), 0);
    }
    for (const Row &row : rows) {
        LogCapture log;
        PrintCapture printed;
        const std::string line =
            row.member.empty() ? row.line : row.line + unclaimed(row.member, row.interface) + row.after;
        EXPECT_EQ(row.call(), row.failure) << line;
        const std::string out = printed.take();
        EXPECT_EQ(out, row.sink == kPrint ? line : "") << line;
        if (row.sink == kLog) {
            EXPECT_TRUE(log.has(line)) << line;
        } else {
            EXPECT_EQ(log.count(), 0u) << line;
        }
    }
    EXPECT_EQ(fields(record), "0 0 0 0 0 0 0 0 0 0 ");  // failed calls leave the caller's buffers alone
    EXPECT_STREQ(ip, "");
    EXPECT_STREQ(info.ssid, "net");
}

// Each registration called twice: the first stays (GNSS, Net, PM, GB) and the second gives the documented
// result and line; the signals then reach the first callbacks only.
TEST(Clients, RegisteringTwiceKeepsTheFirstCallbacks) {
    struct Row {
        std::function<int()> call;
        int result;
        std::string line;  // logged; "" for none
    };
    const tbox::test::BoxFakes box({"gnss", "param", "net", "wifi", "pm", "gbreal"});
    FakeService &gnss = box["gnss"], &net = box["net"], &pm = box["pm"], &gb = box["gbreal"];
    net.reply("handle-get-net-status", g_variant_new("(i)", 1));
    const Row rows[] = {
        {[] { return InitGNSSInterface(nullptr, [](const GnssRecord *) { g_seen.emplace_back("gnss first"); }); }, 0,
         ""},
        {[] { return InitGNSSInterface(nullptr, [](const GnssRecord *) { g_seen.emplace_back("gnss second"); }); }, 0,
         ""},
        {InitParamsInterface, 0, ""},
        {InitParamsInterface, -1, ""},
        {InitWifiInterface, 0, ""},
        {InitWifiInterface, -1, ""},
        {InitNetInterface, 0, tbox::test::kept::kNetSucces},
        {InitNetInterface, -1, ""},
        {[] { return RegisterNetWorkStatusChangeCBack(nullptr); }, -1, "The Func Pointer is NULL\n"},
        {[] {
             return RegisterNetWorkStatusChangeCBack([](int slot, int) {
                 if (slot == 0) g_seen.emplace_back("net first");
             });
         },
         0, "NetStatusChangeCBack OK\n"},
        {[] { return RegisterNetWorkStatusChangeCBack([](int, int) { g_seen.emplace_back("net second"); }); }, -1,
         "Net Status Change CallBack has Register,Don't repeat registration\n"},
        {[] { return InitPmClient("nav"); }, 0, "PM Client Init Success.ModuleName[nav]\n"},
        {[] { return InitPmClient("other"); }, 0, "Pm Client Has Init. Cur moduleName[nav]\n"},
        {[] { return RegisterPmStateChangeCBack(nullptr); }, -1, "PmStateChangedCBack is NULL,Please provide one\n"},
        {[] { return RegisterPmStateChangeCBack([](uint8_t, uint8_t, int32_t) { g_seen.emplace_back("pm first"); }); },
         0, "ModuleName[nav] Register PmStateChange Callback success.\n"},
        {[] { return RegisterPmStateChangeCBack([](uint8_t, uint8_t, int32_t) { g_seen.emplace_back("pm second"); }); },
         -1, "PM StateChanged CallBack has register,Cur ModuleName[nav] \n"},
        {[] { return RegisterPmGsensorWakeUpCBack(nullptr); }, -1, "PM Gsensor WakeUp is NULL,Please provide one\n"},
        {[] { return RegisterPmGsensorWakeUpCBack([] { g_seen.emplace_back("gsensor first"); }); }, 0,
         "Register PM Gsensor WakeUp Callback success.\n"},
        {[] { return RegisterPmGsensorWakeUpCBack([] { g_seen.emplace_back("gsensor second"); }); }, -1,
         "PM Gsensor WakeUp CallBack has registe \n"},
        {[] { return InitGbRealDataClient(nullptr); }, -1, "GbRecvRealDataCBack is NULL\n"},
        {[] { return InitGbRealDataClient([](int32_t, const uint8_t *) { g_seen.emplace_back("gb first"); }); }, 0,
         "GbRealData Client Init Success\n"},
        {[] { return InitGbRealDataClient([](int32_t, const uint8_t *) { g_seen.emplace_back("gb second"); }); }, 0,
         "GbRealData Client has init\n"},
    };
    PrintCapture quiet;
    for (const Row &row : rows) {
        LogCapture log;
        EXPECT_EQ(row.call(), row.result) << row.line;
        if (!row.line.empty()) {
            EXPECT_TRUE(log.has(row.line)) << row.line;
        }
    }
    LogCapture log;
    gnss.run([&] { ky_gnss_emit_gps_parsered_update(gnss.skeleton<KyGnss>(), ten(1)); });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 1; }));
    net.run([&] { ky_net_emit_net_status(net.skeleton<KyNet>(), TRUE); });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 2; }));
    pm.run([&] {
        ky_pm_emit_power_state_changed(pm.skeleton<KyPm>(), 1, 2, 3);
        ky_pm_emit_gsensor_wake_up(pm.skeleton<KyPm>());
    });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 4; }));
    gb.run([&] {
        const guint8 byte = 1;
        ky_gbreal_emit_gb_real_data(gb.skeleton<KyGbreal>(), 1,
                                    g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, &byte, 1, 1));
    });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 5; }));
    tbox::test::pump_for(100);
    EXPECT_EQ(g_seen, (Strings{"gnss first", "net first", "pm first", "gsensor first", "gb first"}));
    for (const char *line :
         {tbox::test::kept::kNetWorkChange, tbox::test::kept::kPmStateFinsh, tbox::test::kept::kGsensorFinsh}) {
        EXPECT_TRUE(log.has(line)) << line;
    }
}

}  // namespace
