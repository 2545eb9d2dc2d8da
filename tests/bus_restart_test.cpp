// The system bus going away and coming back: the process lives on, calls fail with their documented
// codes meanwhile, and afterwards the calls and the callbacks registered once work again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/dbus_client.h"
#include "support/box_fakes.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "support/test_bus.h"
#include "tbox/tbox.h"

using tbox::test::BoxFakes;
using tbox::test::FakeService;
using tbox::test::LogCapture;
using tbox::test::PrintCapture;
using tbox::test::pump_for;
using tbox::test::pump_until;

// The library's timeout sources are recorded through -Wl,--wrap=g_timeout_source_new, so the shipped
// retry period shows without waiting for it.
namespace {
std::mutex g_intervalsLock;
std::vector<guint> g_intervals;
}  // namespace

extern "C" GSource *__real_g_timeout_source_new(guint interval);
extern "C" GSource *__wrap_g_timeout_source_new(guint interval) {
    {
        const std::lock_guard<std::mutex> lock(g_intervalsLock);
        g_intervals.push_back(interval);
    }
    return __real_g_timeout_source_new(interval);
}

namespace {

using Strings = std::vector<std::string>;
Strings g_seen;  // what the callbacks received

// One service per client module, each answering the method the test calls.
struct Services : BoxFakes {
    FakeService &at = (*this)["at"], &gnss = (*this)["gnss"], &param = (*this)["param"], &net = (*this)["net"],
                &wifi = (*this)["wifi"], &pm = (*this)["pm"], &gb = (*this)["gbreal"], &update = (*this)["update"];
    explicit Services(int generation) {
        at.reply("handle-send-at-cmd", g_variant_new("(is)", generation, "OK"));
        gnss.reply("handle-get-gps-data", g_variant_new("(@(iiiiiiiiii))", g_variant_new("(iiiiiiiiii)", generation, 0,
                                                                                         0, 0, 0, 0, 0, 0, 0, 0)));
        param.reply("handle-get-param-type", g_variant_new("(i)", PARAM_TYPE_INT));
        param.reply("handle-get-param", g_variant_new("(s)", std::to_string(generation).c_str()));
        net.reply("handle-get-net-status", g_variant_new("(i)", generation));
        wifi.reply("handle-get-wifi-status", g_variant_new("(i)", generation));
        wifi.reply("handle-disable-wifi", nullptr);
        pm.reply("handle-get-power-state", g_variant_new("(y)", generation));
        gb.reply("handle-get-kl15-and-charging-status", g_variant_new("(ii)", generation, 0));
        update.reply("handle-get-can-parser-status", g_variant_new("(i)", generation));
        update.reply("handle-start-upgrade", g_variant_new("(s)", "accepted"));
        update.reply("handle-get-upgrade-status", g_variant_new("(i)", 0));
    }
};

// Every client call the test makes, with its result: the generation answered, or the failure codes.
Strings results() {
    char answer[16] = "";
    GnssRecord record{};
    int param = 0;
    int32_t kl15 = -1, charging = -1, parser = -1;
    const bool gps = GetGpsData(&record);
    const int param_result = GetParamsValue(1, &param);
    const int gb_result = GetKL15AndChargingStatus(&kl15, &charging);
    const int parser_result = GetCanParserStatus(&parser);
    return {"at " + std::to_string(SendAT("AT", "", 1, answer)),
            "gnss " + (gps ? std::to_string(record.field[0]) : "false"),
            "param " + std::to_string(param_result == 0 ? param : param_result),
            "net " + std::to_string(GetNetWorkStatus(1)),
            "wifi " + std::to_string(ClientGetWifiStatus()),
            "wifi off " + std::to_string(DisableWifi()),
            "pm " + std::to_string(GetPmState()),
            "gb " + std::to_string(gb_result == 0 ? kl15 : gb_result),
            "update " + std::to_string(parser_result == 0 ? parser : parser_result)};
}

void on_urc(KyAt *proxy, const gchar *urc, const gchar * /*sms*/, gpointer /*user_data*/) {
    EXPECT_EQ(proxy, g_proxy);
    g_seen.push_back(std::string("urc ") + urc);
}

bool on_live_connection(gpointer proxy) {
    return proxy != nullptr && !g_dbus_connection_is_closed(g_dbus_proxy_get_connection(G_DBUS_PROXY(proxy)));
}

TEST(BusRestart, TheProcessLivesCallsFailMeanwhileAndCallsAndCallbacksComeBackWithoutNewInitialisation) {
    auto services = std::make_unique<Services>(1);
    ASSERT_EQ(InitAtInterface(on_urc), 0);
    ASSERT_EQ(InitGNSSInterface(nullptr,
                                [](const GnssRecord *r) { g_seen.push_back("gnss " + std::to_string(r->field[0])); }),
              0);
    ASSERT_EQ(InitParamsInterface(), 0);
    ASSERT_EQ(InitNetInterface(), 0);
    ASSERT_EQ(InitWifiInterface(), 0);
    ASSERT_EQ(InitPmClient("nav"), 0);
    ASSERT_EQ(RegisterPmStateChangeCBack(
                  [](uint8_t state, uint8_t, int32_t) { g_seen.push_back("pm " + std::to_string(state)); }),
              0);
    ASSERT_EQ(
        InitGbRealDataClient([](int32_t length, const uint8_t *) { g_seen.push_back("gb " + std::to_string(length)); }),
        0);
    ASSERT_EQ(InitUpgradeClient(), 0);
    PrintCapture printed;
    EXPECT_EQ(results(),
              (Strings{"at 1", "gnss 1", "param 1", "net 1", "wifi 1", "wifi off 0", "pm 1", "gb 1", "update 1"}));
    KyAt *const first_at = g_proxy;
    KyParam *const first_param = g_cliParam;

    services.reset();
    tbox::test::stop_private_bus();
    pump_for(3 * tbox::client::kRetryMs);  // GLib's shared connection would end the process here
    {
        const std::lock_guard<std::mutex> lock(g_intervalsLock);
        EXPECT_NE(std::count(g_intervals.begin(), g_intervals.end(), 500u), 0) << "no retry every 500 ms";
    }
    LogCapture log;
    EXPECT_EQ(results(), (Strings{"at -22", "gnss false", "param -1", "net -1", "wifi -1", "wifi off 255", "pm -1",
                                  "gb -1", "update -1"}));
    EXPECT_TRUE(log.contains("send At error:"));
    EXPECT_TRUE(log.contains("ModuleName[nav] GetPmState RPC Error["));
    EXPECT_NE(printed.take().find("get WifiStatus error:"), std::string::npos);
    EXPECT_EQ(IsAlarm(), 0);

    tbox::test::restart_private_bus();
    services = std::make_unique<Services>(2);
    // The asynchronous start is the upgrade client's first call after the restart.
    char message[TBOX_START_MESSAGE_SIZE] = "";
    std::atomic<int> started{1};
    std::atomic<bool> returned{false};
    std::thread starter([&] {
        started = StartUpgradePkg("/oemdata/update.pkg", 0, message);  // its reply comes in this thread's loop
        returned = true;
    });
    EXPECT_TRUE(pump_until([&] { return returned.load(); }));
    starter.join();
    EXPECT_EQ(started, 0);
    EXPECT_STREQ(message, "accepted");
    EXPECT_EQ(results(),
              (Strings{"at 2", "gnss 2", "param 2", "net 2", "wifi 2", "wifi off 0", "pm 2", "gb 2", "update 2"}));
    // The exported proxy variables follow the live proxies.
    EXPECT_NE(g_proxy, first_at);
    EXPECT_TRUE(on_live_connection(g_proxy));
    EXPECT_NE(g_cliParam, first_param);
    EXPECT_TRUE(on_live_connection(g_cliParam));

    services->at.run([&] { ky_at_emit_urc_broadcast(services->at.skeleton<KyAt>(), "+CREG: 1", ""); });
    services->gnss.run([&] {
        ky_gnss_emit_gps_parsered_update(services->gnss.skeleton<KyGnss>(),
                                         g_variant_new("(iiiiiiiiii)", 3, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    });
    services->pm.run([&] { ky_pm_emit_power_state_changed(services->pm.skeleton<KyPm>(), 4, 0, 0); });
    services->gb.run([&] {
        const guint8 byte = 9;
        ky_gbreal_emit_gb_real_data(services->gb.skeleton<KyGbreal>(), 1,
                                    g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, &byte, 1, 1));
    });
    ASSERT_TRUE(pump_until([] { return g_seen.size() >= 4; }));
    pump_for(100);
    EXPECT_EQ(g_seen, (Strings{"urc +CREG: 1", "gnss 3", "pm 4", "gb 1"}));
}

TEST(BusRestart, SignalsAndPublishedStateComeBackWithoutAnyCall) {
    auto gb = std::make_unique<BoxFakes>(Strings{"gbreal"});
    ASSERT_EQ(InitGbRealDataClient([](int32_t length, const uint8_t *) { g_seen.push_back(std::to_string(length)); }),
              0);
    gb.reset();
    tbox::test::stop_private_bus();
    pump_for(3 * tbox::client::kRetryMs);  // the retries fail while the bus is gone
    tbox::test::restart_private_bus();
    gb = std::make_unique<BoxFakes>(Strings{"gbreal"});
    FakeService &service = (*gb)["gbreal"];
    service.run([&] { ky_gbreal_set_alarm_state(service.skeleton<KyGbreal>(), TRUE); });
    const guint8 byte = 1;
    // The client comes back by its own retry, at a moment the test cannot know: it emits until heard.
    EXPECT_TRUE(pump_until([&] {
        service.run([&] {
            ky_gbreal_emit_gb_real_data(service.skeleton<KyGbreal>(), 7,
                                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, &byte, 1, 1));
        });
        pump_for(50);
        return !g_seen.empty();
    }));
    EXPECT_EQ(g_seen.at(0), "7");
    EXPECT_TRUE(pump_until([] { return IsAlarm() == 1; }));
    EXPECT_EQ(service.count("GetKL15AndChargingStatus"), 0u);
}

TEST(BusRestart, CallsFromManyThreadsAcrossARestartFailOrSucceedAndAllSucceedAfterwards) {
    std::unique_ptr<BoxFakes> param;
    auto answer = [&] {  // a new service
        param = std::make_unique<BoxFakes>(Strings{"param"});
        (*param)["param"].reply("handle-get-param-type", g_variant_new("(i)", PARAM_TYPE_INT));
        (*param)["param"].reply("handle-get-param", g_variant_new("(s)", "5"));
    };
    answer();
    ASSERT_EQ(InitParamsInterface(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    LogCapture log;  // keeps the failures out of syslog
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            while (!stop) {
                int value = 0;
                const int result = GetParamsValue(1, &value);
                if (result != 0) ++failed;
                EXPECT_TRUE(result == -1 || value == 5) << result << " " << value;
            }
        });
    }
    param.reset();
    tbox::test::stop_private_bus();
    EXPECT_TRUE(pump_until([&] { return failed > 0; }));
    tbox::test::restart_private_bus();
    answer();
    EXPECT_TRUE(pump_until([&] { return (*param)["param"].count("GetParam") >= 8; }));
    stop = true;
    for (auto &t : threads) t.join();
    int value = 0;
    EXPECT_EQ(GetParamsValue(1, &value), 0);
    EXPECT_EQ(value, 5);
}

}  // namespace
