// The platform clients (gnss, param, net, wifi, pm, gb) and the upgrade task client end to end against the
// simulator: one case each.
#include <gtest/gtest.h>

#include <tbox/gb.h>
#include <tbox/gnss.h>
#include <tbox/net.h>
#include <tbox/param.h>
#include <tbox/pm.h>
#include <tbox/upgrade.h>
#include <tbox/wifi.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "support/sim_runner.h"

using tbox::test::pump_for;
using tbox::test::pump_until;
using tbox::test::SimRunner;

namespace {

// Keeps the clients' syslog and g_print lines out of the test output.
struct Quiet {
    tbox::test::LogCapture log;
    tbox::test::PrintCapture print;
};

std::vector<std::string> g_nmea;
std::vector<GnssRecord> g_records;

TEST(SimClients, GnssHearsTheDriveAndReadsThePosition) {
    Quiet quiet;
    tbox::sim::Options options;
    options.speed = 50;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitGNSSInterface([](const char *s) { g_nmea.emplace_back(s); },
                                [](const GnssRecord *r) { g_records.push_back(*r); }),
              0);
    EXPECT_EQ(GetForceSyncFlag(), 1);
    EXPECT_EQ(sim.inject(std::string("gnss.start ") + TBOX_SIM_DRIVE_LOG), "");
    ASSERT_TRUE(pump_until([] { return g_records.size() >= 10; }));
    EXPECT_EQ(g_nmea.front().rfind("$GNRMC,083000.00,V,", 0), 0u) << "the log from its first line";
    EXPECT_EQ(g_records.front().field[0], 0) << "no fix yet";
    EXPECT_EQ(g_records.back().field[0], 1);
    EXPECT_NEAR(g_records.back().field[1], 31230416, 2000) << "near the depot";
    GnssRecord now{};
    ASSERT_TRUE(GetGpsData(&now));
    EXPECT_EQ(now.field[8], 20260314);
    EXPECT_EQ(sim.inject("gnss.sync 0"), "");
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 0; }));
}

TEST(SimClients, ParamClientWritesWithinTheLimits) {
    Quiet quiet;
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitParamsInterface(), 0);
    int value = 0;
    EXPECT_EQ(GetParamsValue(1, &value), 0);
    EXPECT_EQ(value, 30);
    value = 5;
    EXPECT_EQ(SetParamsValue(1, &value), -1) << "below the minimum";
    value = 45;
    EXPECT_EQ(SetParamsValue(1, &value), 0);
    EXPECT_EQ(SetParamsMaxAndMin(1, 100, 50), 0);
    EXPECT_EQ(SetParamsValue(1, &value), -1);
    char text[1024] = "";
    EXPECT_EQ(GetParamsValue(3, text), 0);
    EXPECT_STREQ(text, "tsp.example.com");
    EXPECT_EQ(SetParamsValue(3, "platform.example.net"), 0);
    EXPECT_EQ(GetParamsValue(3, text), 0);
    EXPECT_STREQ(text, "platform.example.net");
}

std::vector<std::pair<int, int>> g_net;

TEST(SimClients, NetClientFollowsAProfileGoingDown) {
    Quiet quiet;
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(RegisterNetWorkStatusChangeCBack([](int slot, int status) { g_net.emplace_back(slot, status); }), 0);
    ASSERT_EQ(InitNetInterface(), 0);
    char ip[64] = "";
    EXPECT_EQ(GetNetWorkStatus(1), 1);
    EXPECT_EQ(GetNetWorkIp(1, ip), 0);
    EXPECT_STREQ(ip, "10.64.21.117");
    EXPECT_EQ(sim.inject("net.down 1"), "");
    ASSERT_TRUE(pump_until([] { return g_net.size() == 2; }));
    EXPECT_EQ(g_net, (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}}));
    EXPECT_EQ(GetNetWorkIp(1, ip), 0);
    EXPECT_STREQ(ip, "");
}

TEST(SimClients, WifiClientRunsTheAccessPointAndJoinsANetwork) {
    Quiet quiet;
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitWifiInterface(), 0);
    EXPECT_EQ(StartWiFiAp(), -1) << "Wi-Fi is off";
    EXPECT_EQ(EnableWiFi(), 0);
    WiFiApInfo info{};
    std::strcpy(info.ssid, "0123456789012345678901234567890");  // 31 characters, the most a record holds
    std::strcpy(info.passwd, "secret-passphrase");
    info.value = 1;
    EXPECT_EQ(SetWiFiApInfo(&info, 0), 0);
    WiFiApInfo back{};
    EXPECT_EQ(GetWiFiApInfo(&back), 0);
    EXPECT_EQ(std::memcmp(&back, &info, sizeof info), 0);
    EXPECT_EQ(StartWiFiAp(), 0);
    EXPECT_EQ(ConnectWiFiStaToApp("depot-wlan", ""), -1) << "station not started";
    EXPECT_EQ(SetWiFiMode(2), 0);
    EXPECT_EQ(StartWiFiSta(), 0);
    EXPECT_EQ(ConnectWiFiStaToApp("depot-wlan", ""), 0);
    EXPECT_EQ(ClientGetWifiStatus(), 4);
}

std::vector<std::vector<int>> g_pm;

TEST(SimClients, PmClientHoldsSleepOffAndWakesByAlarm) {
    Quiet quiet;
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitPmClient("sim-test"), 0);
    ASSERT_EQ(RegisterPmStateChangeCBack([](uint8_t s, uint8_t w, int32_t id) { g_pm.push_back({s, w, id}); }), 0);
    EXPECT_EQ(SetSleepEvent("navigation"), 0);
    EXPECT_EQ(sim.inject("pm.sleep"), "");
    pump_for(100);
    EXPECT_TRUE(g_pm.empty()) << "held off";
    EXPECT_EQ(CleanSleepEvent("navigation"), 0);
    ASSERT_TRUE(pump_until([] { return g_pm.size() == 1; }));
    EXPECT_EQ(GetPmState(), 3);
    EXPECT_EQ(CreateSleepAlarm(1, 42), 0);
    ASSERT_TRUE(pump_until([] { return g_pm.size() == 2; }, 3000));
    EXPECT_EQ(g_pm, (std::vector<std::vector<int>>{{3, 0, 0}, {1, 3, 42}}));
    EXPECT_EQ(GetPmWakeUpSource(), 3);
}

std::vector<std::vector<uint8_t>> g_gb;

TEST(SimClients, GbClientReceivesRecordsAndSeesTheAlarm) {
    Quiet quiet;
    tbox::sim::Options options;
    options.gb_interval_ms = 30;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitGbRealDataClient([](int32_t n, const uint8_t *d) { g_gb.emplace_back(d, d + n); }), 0);
    ASSERT_TRUE(pump_until([] { return g_gb.size() >= 2; }));
    EXPECT_EQ(g_gb[0].size(), 23u);
    EXPECT_EQ(IsAlarm(), 0);
    EXPECT_EQ(sim.inject("gb.alarm 1"), "");
    ASSERT_TRUE(pump_until([] { return IsAlarm() == 1; }));
    int32_t kl15 = -1, charging = -1;
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), 0);
    EXPECT_EQ(kl15, 1);
    EXPECT_EQ(charging, 0);
}

std::vector<int> g_upgrade_states;

// StartUpgradePkg on a thread of its own while this one runs the default main context, where the
// client's reply handler runs.
int start_upgrade(const std::string &path, char *message) {
    std::atomic<bool> done{false};
    int result = 0;
    std::thread caller([&] {
        result = StartUpgradePkg(path.c_str(), 1, message);
        done = true;
    });
    const bool finished = pump_until([&] { return done.load(); }, 10000);
    caller.join();
    return finished ? result : -100;
}

TEST(SimClients, UpgradeClientInstallsAPackageAsTheBoundProcess) {
    Quiet quiet;
    tbox::test::TempDir dir;
    tbox::test::put(dir / "app.bin", "new firmware");
    tbox::test::run("tar -C " + dir.path + " -czf " + (dir / "pkg.tgz") + " app.bin");
    tbox::sim::Options options;
    options.upgrade_ms = 500;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitUpgradeClient(), 0);
    ASSERT_EQ(RegisterStatueChangedCb([](int32_t state) { g_upgrade_states.push_back(state); }), 0);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(sim.received("ky.update BindUpgrade"),
              std::vector<std::string>{"ky.update BindUpgrade (" + std::to_string(getpid()) + ",)"});

    char message[TBOX_START_MESSAGE_SIZE] = "";
    EXPECT_EQ(start_upgrade(dir / "pkg.tgz", message), 0);
    EXPECT_STREQ(message, "upgrade:package accepted");
    EXPECT_EQ(g_upgrade_states, (std::vector<int>{1, 0}));
    EXPECT_EQ(start_upgrade(dir / "app.bin", message), -1);
    EXPECT_NE(std::string(message).find("ky.update.Error.BadPackage"), std::string::npos) << message;
    EXPECT_EQ(sim.inject("update.outcome 7"), "");
    EXPECT_EQ(start_upgrade(dir / "pkg.tgz", message), -1) << "the upgrade ended with failure code 7";

    int32_t can = -1;
    EXPECT_EQ(GetCanParserStatus(&can), 0);
    EXPECT_EQ(can, 0);
    EXPECT_EQ(UnbindUpgradeTask(1), 0);
    EXPECT_EQ(UnbindUpgradeTask(1), -1) << "no longer the bound process";
}

}  // namespace
