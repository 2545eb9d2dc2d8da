// The six platform-service clients (GNSS, parameters, network, Wi-Fi, power management, GB real-time
// data) against fake services on a private bus: results, arguments on the wire, lines logged or printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "support/test_bus.h"
#include "tbox/tbox.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;
using tbox::test::PrintCapture;
using tbox::test::pump_until;

namespace {

using Strings = std::vector<std::string>;
Strings g_seen;  // what the callbacks received, in order

// The fake service `name` (ky.x) at /ky/x, made of our skeleton.
template <typename T>
FakeService fake(const std::string &name, T *(*make)()) {
    std::string path = "/" + name;
    std::replace(path.begin(), path.end(), '.', '/');
    return FakeService(name, path, [make] { return gpointer(make()); });
}

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
        std::string line;    // before GIO's message; printed lines have no location
        const char *source;  // the log line's file, or null when the line is printed
        const char *tail;
    };
    const Row rows[] = {
        {[] { return int{InitGNSSInterface(nullptr, nullptr)}; }, 255, "Error:new proxy for gnss[", nullptr, "]\n"},
        {InitParamsInterface, -1, "Error:new proxy for param[", "param_api.cpp", "]\n"},
        {InitNetInterface, -1, "[NET] init dbus proxy error: ", "net_api.cpp", " \n"},
        {InitWifiInterface, -1, "Error:new proxy for wifi[", nullptr, "]\n"},
        {[] { return InitPmClient("nav"); }, -1, "Error:new proxy PM Error.ModuleName:[nav],Err:[", nullptr, "]\n"},
        {[] { return InitGbRealDataClient([](int32_t, const uint8_t *) {}); }, -1, "Error:new proxy for GbReal[",
         "gb_api.cpp", "]\n"},
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
        const std::string line = row.line + message + row.tail;
        EXPECT_EQ(printed.take(), row.source == nullptr ? line : "");
        if (row.source == nullptr) {
            EXPECT_EQ(log.count(), 0u);
        } else {
            EXPECT_TRUE(log.has(line) && log.contains(std::string("[err] ") + row.source));
        }
    }
    tbox::test::private_bus_address();  // the bus appears
    for (const Row &row : rows) EXPECT_EQ(row.init(), 0);
}

TEST(Gnss, RecordsAreCopiedAsTenNumbersInOrderAndAFailedCallLeavesThemAlone) {
    FakeService gnss = fake("ky.gnss", ky_gnss_skeleton_new);
    PrintCapture printed;
    GnssRecord record{{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1}};
    EXPECT_FALSE(GetGpsData(&record));  // not initialised
    ASSERT_EQ(InitGNSSInterface(nullptr, nullptr), 0);
    EXPECT_FALSE(GetGpsData(nullptr));
    EXPECT_EQ(gnss.members(), Strings{});
    EXPECT_FALSE(GetGpsData(&record));
    EXPECT_EQ(printed.take(), "get param error:" + unclaimed("GetGpsData", "ky.gnss") + "\n");
    EXPECT_EQ(record.field[0] & record.field[9], -1);
    gnss.reply("handle-get-gps-data", g_variant_new("(@(iiiiiiiiii))", ten(1)));
    EXPECT_TRUE(GetGpsData(&record));
    EXPECT_EQ(printed.take(), "get param success\n");
    EXPECT_EQ(std::vector<int32_t>(record.field, record.field + 10),
              (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, -10}));
}

TEST(Gnss, SignalsReachTheFirstCallbacksAndTheForceSyncFlagHoldsTheLatestValue) {
    FakeService gnss = fake("ky.gnss", ky_gnss_skeleton_new);
    EXPECT_EQ(GetForceSyncFlag(), 1);
    ASSERT_EQ(InitGNSSInterface(nullptr,
                                [](const GnssRecord *r) {
                                    std::string text = "record";
                                    for (int32_t f : r->field) text += " " + std::to_string(f);
                                    g_seen.push_back(text);
                                }),
              0);
    ASSERT_EQ(InitGNSSInterface([](const char *) { g_seen.push_back("second nmea"); }, nullptr), 0);  // ignored
    EXPECT_EQ(GetForceSyncFlag(), 1);
    auto *skeleton = gnss.skeleton<KyGnss>();
    gnss.run([&] {
        ky_gnss_emit_gps_orignal_update(skeleton, "$GPGGA*00");  // no NMEA callback: dropped
        ky_gnss_emit_gps_parsered_update(skeleton, ten(5));
        ky_gnss_emit_gps_sync_time(skeleton, 0);
    });
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 0; }));
    gnss.run([&] { ky_gnss_emit_gps_sync_time(skeleton, 7); });
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 7; }));
    EXPECT_EQ(g_seen, Strings{"record 5 2 3 4 5 6 7 8 9 -10"});
}

// A parameter store: index -> (type, text); unknown indexes and `readOnly` writes answer a D-Bus error.
struct ParamService {
    std::map<int, std::pair<int, std::string>> store{{1, {1, "42"}}, {2, {1, "abc"}}, {3, {1, "-7x"}}, {5, {0, "apn"}}};
    const char *readOnly = nullptr;
    FakeService service = fake("ky.param", ky_param_skeleton_new);
    ParamService() {
        for (const char *method : {"handle-get-param-type", "handle-get-param", "handle-set-param"}) {
            service.handle(method, [this, method](GDBusMethodInvocation *inv) {
                gint index = 0;
                g_variant_get_child(g_dbus_method_invocation_get_parameters(inv), 0, "i", &index);
                const auto it = store.find(index);
                const bool set = std::strcmp(method, "handle-set-param") == 0;
                if (it == store.end() || (set && readOnly != nullptr)) {
                    const std::string why = it == store.end() ? "no parameter " + std::to_string(index) : readOnly;
                    g_dbus_method_invocation_return_dbus_error(inv, "ky.param.Error", why.c_str());
                } else if (set) {
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

TEST(Param, IntegersTravelAsDecimalTextAfterATypeQueryAndNothingIsSentBeforeInit) {
    ParamService param;
    int number = 0;
    EXPECT_EQ(GetParamsValue(1, &number) | SetParamsValue(1, &number) | SetParamsMaxAndMin(1, 2, 3), -1);
    EXPECT_EQ(param.service.members(), Strings{});
    ASSERT_EQ(InitParamsInterface(), 0);
    EXPECT_EQ(InitParamsInterface(), -1);
    EXPECT_EQ(GetParamsValue(1, nullptr) | SetParamsValue(1, nullptr), -1);
    for (const auto &[index, expected] : {std::pair{1, 42}, {2, 0}, {3, -7}}) {
        EXPECT_EQ(GetParamsValue(index, &number), 0);
        EXPECT_EQ(number, expected) << index;
    }
    for (int value : {-5, -2147483647 - 1}) EXPECT_EQ(SetParamsValue(1, &value), 0);
    EXPECT_EQ(param.service.calls_to("SetParam"), (Strings{"(1, '-5')", "(1, '-2147483648')"}));
    EXPECT_EQ(SetParamsMaxAndMin(7, 100, 10), -1);  // unclaimed by the fake
    EXPECT_EQ(param.service.calls_to("SetParamMaxMin"), Strings{"(7, 100, 10)"});
    Strings expected;
    for (const char *second : {"GetParam", "GetParam", "GetParam", "SetParam", "SetParam"}) {
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
    EXPECT_EQ(SetParamsValue(5, (longest + "x").c_str()) | SetParamsValue(5, "caf\xe9"), -1);
    EXPECT_TRUE(log.has("set param error:text longer than 1023 characters\n") &&
                log.has("set param error:text is not UTF-8\n"));
    EXPECT_EQ(GetParamsValue(9, buffer) | SetParamsValue(9, buffer), -1);  // the type query fails: no second call
    EXPECT_TRUE(log.has("get param error:GDBus.Error:ky.param.Error: no parameter 9\n"));
    param.readOnly = "read-only";
    EXPECT_EQ(SetParamsValue(5, "new"), -1);
    EXPECT_TRUE(log.has("set param error:GDBus.Error:ky.param.Error: read-only\n"));
    EXPECT_EQ(param.service.count("SetParam"), 2u);
    EXPECT_EQ(param.service.count("GetParam"), 1u);
}

// A network service whose profile n has dial status 10 * n and address 10.0.0.n, except `failing`.
struct NetService {
    int failing = 0;
    FakeService service = fake("ky.net", ky_net_skeleton_new);
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

TEST(Net, ProfileIndexesOutside1To14AreRefusedFirstAndAddressesCopied) {
    NetService net;
    char ip[16] = "untouched";
    EXPECT_EQ(GetNetWorkStatus(1) | GetNetWorkIp(1, ip), -1);  // not initialised
    ASSERT_EQ(InitNetInterface(), 0);
    EXPECT_EQ(InitNetInterface(), -1);
    for (const auto &[index, expected] : {std::pair{0, -40}, {1, 10}, {2, 20}, {3, 30}, {14, 140}, {15, -40}}) {
        EXPECT_EQ(GetNetWorkStatus(index), expected) << index;
    }
    EXPECT_EQ(GetNetWorkIp(0, nullptr), ERR_NET_PROFILE_INDEX_INVALID);  // the index test comes first
    EXPECT_EQ(GetNetWorkIp(15, ip), -40);
    EXPECT_EQ(GetNetWorkIp(1, nullptr), -1);
    EXPECT_EQ(net.service.calls_to("GetNetStatus"), (Strings{"(1,)", "(2,)", "(3,)", "(14,)"}));
    EXPECT_EQ(net.service.count("GetNetIp"), 0u);
    LogCapture log;
    net.failing = 3;
    EXPECT_EQ(GetNetWorkIp(3, ip), -1);
    EXPECT_STREQ(ip, "untouched");
    EXPECT_TRUE(log.has("get [3]ip error:GDBus.Error:ky.net.Error: modem busy\n"));
    EXPECT_EQ(GetNetWorkIp(14, ip), 0);
    EXPECT_STREQ(ip, "10.0.0.14");
}

TEST(Net, EachSignalReadsProfile1ThenProfile2AndCallsBackPerSlot) {
    static NetService net;  // the callback also notes how many reads preceded it
    auto on_change = [](int slot, int status) {
        g_seen.push_back(std::to_string(slot) + ":" + std::to_string(status) + " after " +
                         std::to_string(net.service.count("GetNetStatus")));
    };
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack(on_change), 0);  // allowed before initialisation
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack([](int, int) { g_seen.push_back("second"); }), -1);
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack(nullptr), -1);
    ASSERT_EQ(InitNetInterface(), 0);
    net.failing = 2;
    net.service.run([&] { ky_net_emit_net_status(net.service.skeleton<KyNet>(), TRUE); });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 2; }));
    net.failing = 0;
    net.service.run([&] { ky_net_emit_net_status(net.service.skeleton<KyNet>(), FALSE); });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 4; }));
    tbox::test::pump_for(100);
    EXPECT_EQ(g_seen, (Strings{"0:10 after 1", "1:-1 after 2", "0:10 after 3", "1:20 after 4"}));
}

TEST(Wifi, EachFunctionGivesItsResultAndPrintedLineAndNothingReachesSyslog) {
    struct Case {
        int (*function)();
        const char *handler, *member;
        int result, failure;
        const char *printed, *failureLine;
    };
    const Case cases[] = {
        {ClientGetWifiStatus, "get-wifi-status", "GetWifiStatus", 3, -1, "get WifiStatus success:3\n",
         "get WifiStatus error:"},
        {[] { return SetWiFiMode(2); }, "set-wifi-mode", "SetWifiMode", 0, -1, "", "set wifiMode error:"},
        {DisableWifi, "disable-wifi", "DisableWifi", 0, 255, "disable wifi ok\n", "disable wifi error:"},
        {EnableWiFi, "enable-wifi", "EnableWifi", 0, 255, "enable wifi succes\n", "enable wifi error:"},
        {StopWiFiAp, "stop-wifi-ap", "StopWifiAp", 0, -1, "", "stop wifi error:"},
        {StartWiFiAp, "start-wifi-ap", "StartWifiAp", 0, -1, "", "start wifi error:"},
        {StopWiFiSta, "stop-wifi-sta", "StopWifiSta", 0, -1, "", "stop wifi sta error:"},
        {StartWiFiSta, "start-wifi-sta", "StartWifiSta", 0, -1, "", "start wifi error:"},
        {[] { return ConnectWiFiStaToApp("home", "secret"); }, "connet-wifi-sta-to-ap", "ConnetWifiStaToAp", 0, -1,
         "connection wifi ok\n", "connection wifi error:"},
    };
    FakeService wifi = fake("ky.wifi", ky_wifi_skeleton_new);
    PrintCapture printed;
    LogCapture log;
    for (const Case &c : cases) EXPECT_EQ(c.function(), c.failure) << c.member;  // not initialised
    EXPECT_EQ(printed.take(), "");
    EXPECT_EQ(wifi.members(), Strings{});
    ASSERT_EQ(InitWifiInterface(), 0);
    EXPECT_EQ(InitWifiInterface(), -1);
    for (const Case &c : cases) {  // nothing claimed yet: every call fails
        EXPECT_EQ(c.function(), c.failure) << c.member;
        EXPECT_EQ(printed.take(), c.failureLine + unclaimed(c.member, "ky.wifi") + "\n");
        wifi.reply((std::string("handle-") + c.handler).c_str(),
                   c.result != 0 ? g_variant_new("(i)", c.result) : nullptr);
        EXPECT_EQ(c.function(), c.result) << c.member;
        EXPECT_EQ(printed.take(), c.printed) << c.member;
    }
    EXPECT_EQ(wifi.calls_to("SetWifiMode").back(), "(2,)");
    EXPECT_EQ(wifi.calls_to("ConnetWifiStaToAp").back(), "('home', 'secret')");
    EXPECT_EQ(ConnectWiFiStaToApp("home", nullptr) | ConnectWiFiStaToApp("home", "pa\xffss"), -1);
    EXPECT_EQ(printed.take(), "connection wifi error:passwd is not UTF-8\n");
    EXPECT_EQ(wifi.count("ConnetWifiStaToAp"), 2u);
    EXPECT_EQ(log.count(), 0u);
}

TEST(Wifi, AccessPointRecordsFillTheirFieldsOrAreRefusedWhole) {
    FakeService wifi = fake("ky.wifi", ky_wifi_skeleton_new);
    std::string ssid = "abc", passwd = "12345678";
    wifi.handle("handle-get-wifi-ap-info", [&](GDBusMethodInvocation *inv) {
        ky_wifi_complete_get_wifi_ap_info(nullptr, inv, g_variant_new("(ssi)", ssid.c_str(), passwd.c_str(), 6));
        return true;
    });
    wifi.reply("handle-set-wifi-ap-info", nullptr);
    PrintCapture printed;
    ASSERT_EQ(InitWifiInterface(), 0);
    char bytes[sizeof(WiFiApInfo) + 8];
    auto *info = reinterpret_cast<WiFiApInfo *>(bytes);
    const std::pair<std::string, std::string> answers[] = {
        {"abc", "12345678"}, {std::string(32, 's'), ""}, {"", std::string(40, 'p')}, {std::string(31, 's'), ""}};
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
    EXPECT_EQ(printed.take(),
              "get wifi apinfo sucess:abc12345678\nget wifi apinfo error:ssid longer than 31 characters\n"
              "get wifi apinfo error:passwd longer than 31 characters\nget wifi apinfo sucess:" +
                  std::string(31, 's') + "\n");
    WiFiApInfo record{"net", "pw", 11};
    EXPECT_EQ(SetWiFiApInfo(&record, 9), 0);
    std::memset(record.ssid, 'x', sizeof record.ssid);  // no terminator within the field
    EXPECT_EQ(SetWiFiApInfo(&record, 9), -1);
    std::strcpy(record.ssid, "net");
    std::strcpy(record.passwd, "\xc3(");
    EXPECT_EQ(SetWiFiApInfo(&record, 9), -1);
    EXPECT_EQ(wifi.calls_to("SetWifiApInfo"), Strings{"(('net', 'pw', 11), 9)"});
    EXPECT_EQ(printed.take(),
              "set wifi apinfo  ok!\nset wifi apinfo  error:ssid has no terminator within 32 bytes\n"
              "set wifi apinfo  error:passwd is not UTF-8\n");
}

TEST(Pm, NothingIsSentBeforeInitTheFirstNameStaysAndCallbacksRegisterOnce) {
    FakeService pm = fake("ky.pm", ky_pm_skeleton_new);
    const PmStateChangedCBack onState = [](uint8_t s, uint8_t w, int32_t id) {
        g_seen.push_back(std::to_string(s) + "," + std::to_string(w) + "," + std::to_string(id));
    };
    const PmGsensorWakeUpCBack onGsensor = [] { g_seen.push_back("gsensor"); };
    LogCapture log;
    const std::function<int()> all[] = {GetPmState,
                                        GetPmWakeUpSource,
                                        GetMcuHeartbeatStatus,
                                        [] { return Wakeup(1); },
                                        [] { return SetSleepEvent(nullptr); },
                                        [] { return CleanSleepEvent("x"); },
                                        [] { return CreateSleepAlarm(60, 3); },
                                        [&] { return RegisterPmStateChangeCBack(onState); },
                                        [&] { return RegisterPmGsensorWakeUpCBack(onGsensor); }};
    for (const auto &function : all) EXPECT_EQ(function(), -1);
    DeleteSleepAlarm(3);
    EXPECT_EQ(log.count(), std::size(all) + 1);
    EXPECT_TRUE(log.has("PM Client not init\n") && !log.contains("sleepEvent is NULL"));
    EXPECT_EQ(pm.members(), Strings{});
    EXPECT_EQ(InitPmClient(nullptr), -1);
    ASSERT_EQ(InitPmClient("nav"), 0);
    EXPECT_EQ(InitPmClient(nullptr) | InitPmClient("other"), 0);
    EXPECT_EQ(GetPmState(), -1);
    EXPECT_TRUE(log.has("ModuleName[nav] GetPmState RPC Error[" + unclaimed("GetPowerState", "ky.pm") + "]\n"));
    pm.run([&] { ky_pm_emit_power_state_changed(pm.skeleton<KyPm>(), 9, 9, 9); });  // no callback yet: dropped
    tbox::test::pump_for(100);
    // Checked in this order: not initialised, already stored, NULL.
    EXPECT_EQ(RegisterPmStateChangeCBack(nullptr), -1);
    EXPECT_TRUE(log.has("PmStateChangedCBack is NULL,Please provide one\n"));
    EXPECT_EQ(RegisterPmStateChangeCBack(onState) | RegisterPmGsensorWakeUpCBack(onGsensor), 0);
    EXPECT_EQ(RegisterPmStateChangeCBack(nullptr) | RegisterPmGsensorWakeUpCBack(nullptr), -1);
    EXPECT_TRUE(log.has("PM StateChanged CallBack has register,Cur ModuleName[nav] \n") &&
                log.has("PM Gsensor WakeUp CallBack has registe \n"));
    pm.run([&] {
        ky_pm_emit_power_state_changed(pm.skeleton<KyPm>(), 2, 5, 7);
        ky_pm_emit_gsensor_wake_up(pm.skeleton<KyPm>());
    });
    ASSERT_TRUE(pump_until([] { return g_seen.size() == 2; }));
    EXPECT_EQ(g_seen, (Strings{"2,5,7", "gsensor"}));
}

TEST(Pm, ArgumentsAndAnswersPassUnchangedAndCallFailuresAreLoggedWithTheirMessage) {
    FakeService pm = fake("ky.pm", ky_pm_skeleton_new);
    pm.reply("handle-get-power-state", g_variant_new("(y)", 255));
    pm.reply("handle-get-wake-up-source", g_variant_new("(y)", 7));
    pm.reply("handle-get-mcu-heartbeat", g_variant_new("(i)", 12345));
    for (const char *method : {"handle-create-sleep-alarm", "handle-set-sleep-event", "handle-wakeup"}) {
        pm.reply(method, nullptr);
    }
    ASSERT_EQ(InitPmClient("nav"), 0);
    EXPECT_EQ(std::vector<int>({GetPmState(), GetPmWakeUpSource(), GetMcuHeartbeatStatus()}),
              (std::vector<int>{255, 7, 12345}));
    EXPECT_EQ(CreateSleepAlarm(60, 3) | Wakeup(4) | SetSleepEvent("gps"), 0);
    LogCapture log;
    EXPECT_EQ(SetSleepEvent(nullptr) | SetSleepEvent("\xc0\xafgps") | CleanSleepEvent("\xff"), -1);
    EXPECT_TRUE(log.has("sleepEvent is NULL,Please provide one\n") &&
                log.has("ModuleName[nav] sleepEvent is not UTF-8\n"));
    EXPECT_EQ(pm.calls_to("CreateSleepAlarm"), Strings{"(60, 3)"});
    EXPECT_EQ(pm.calls_to("Wakeup"), Strings{"(4,)"});
    EXPECT_EQ(pm.calls_to("SetSleepEvent"), Strings{"('gps',)"});
    EXPECT_EQ(CleanSleepEvent("gps"), -1);
    DeleteSleepAlarm(3);
    EXPECT_EQ(pm.calls_to("CleanSleepEvent"), Strings{"('gps',)"});
    EXPECT_TRUE(log.has("ModuleName[nav] EnableSleep(sleelEvent:gps) RPC Error[" +
                        unclaimed("CleanSleepEvent", "ky.pm") + "] \n"));
    EXPECT_TRUE(log.has("ModuleName[nav] DeleteSleepAlarm Failed,sleepAlarmEventId[3]-Err[" +
                        unclaimed("DeleteSleepAlarm", "ky.pm") + "]\n"));
}

TEST(Gb, RecordsArriveWholeAndZeroFilledOrAreDroppedWithAWarning) {
    FakeService gb = fake("ky.gbreal", ky_gbreal_skeleton_new);
    struct Record {
        int32_t length;
        std::string bytes;  // all the callback may read: 2048 bytes, or the length when longer
    };
    static std::vector<Record> records;
    LogCapture log;
    EXPECT_EQ(InitGbRealDataClient(nullptr), -1);
    ASSERT_EQ(InitGbRealDataClient([](int32_t length, const uint8_t *data) {
                  const size_t readable = std::max<size_t>(GB_RECORD_BUFFER_SIZE, static_cast<size_t>(length));
                  records.push_back({length, std::string(reinterpret_cast<const char *>(data), readable)});
              }),
              0);
    EXPECT_EQ(InitGbRealDataClient([](int32_t, const uint8_t *) { records.push_back({-99, ""}); }), 0);
    EXPECT_EQ(InitGbRealDataClient(nullptr), -1);
    const std::string big(3000, 'Z');
    const std::pair<int32_t, std::string> signals[] = {{5, ""},
                                                       {-1, "\x01"},
                                                       {2049, "\x01\x02"},
                                                       {3001, big},  // empty, or lengths past the buffer: dropped
                                                       {3, "\x01\x02\x03"},
                                                       {2048, "\x07"},
                                                       {3000, big}};  // delivered
    for (const auto &signal : signals) {
        gb.run([&] {
            const std::string &bytes = signal.second;
            GVariant *array = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
            ky_gbreal_emit_gb_real_data(gb.skeleton<KyGbreal>(), signal.first, array);
        });
    }
    ASSERT_TRUE(pump_until([] { return records.size() == 3; }));
    tbox::test::pump_for(100);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].length, 3);
    EXPECT_EQ(records[0].bytes, "\x01\x02\x03" + std::string(2045, '\0'));
    EXPECT_EQ(records[1].length, 2048);
    EXPECT_EQ(records[1].bytes, "\x07" + std::string(2047, '\0'));
    EXPECT_TRUE(records[2].length == 3000 && records[2].bytes == big);
    EXPECT_TRUE(log.has("Get GbRealData  Error\n"));
    EXPECT_TRUE(log.has("Drop GbRealData: recvDataLen[-1] outside the 2048-byte buffer of a 1-byte record\n"));
    EXPECT_TRUE(log.has("Drop GbRealData: recvDataLen[3001] outside the 3000-byte buffer of a 3000-byte record\n"));
}

TEST(Gb, AlarmFollowsThePublishedStateWithoutACallAndKl15IsReadOnce) {
    FakeService gb = fake("ky.gbreal", ky_gbreal_skeleton_new);
    int32_t kl15 = -9, charging = -9;
    EXPECT_EQ(IsAlarm(), 0);
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), -1);
    gb.run([&] { ky_gbreal_set_alarm_state(gb.skeleton<KyGbreal>(), TRUE); });
    ASSERT_EQ(InitGbRealDataClient([](int32_t, const uint8_t *) {}), 0);
    EXPECT_EQ(IsAlarm(), 1);
    gb.run([&] { ky_gbreal_set_alarm_state(gb.skeleton<KyGbreal>(), FALSE); });
    EXPECT_TRUE(pump_until([] { return IsAlarm() == 0; }));
    EXPECT_EQ(gb.calls_to("GetAll").size() + gb.calls_to("Get").size(), 1u);  // the proxy's load at creation
    LogCapture log;
    EXPECT_EQ(GetKL15AndChargingStatus(nullptr, &charging) | GetKL15AndChargingStatus(&kl15, nullptr), -1);
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), -1);  // unclaimed: a D-Bus error, not logged
    EXPECT_TRUE(kl15 == -9 && charging == -9 && log.count() == 0);
    gb.reply("handle-get-kl15-and-charging-status", g_variant_new("(ii)", 1, 2));
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), 0);
    EXPECT_TRUE(kl15 == 1 && charging == 2);
    EXPECT_EQ(gb.members(), (Strings{"GetKL15AndChargingStatus", "GetKL15AndChargingStatus"}));
}

}  // namespace
