// The platform clients end to end against the simulator where tboxctl's sessions (which run the same
// clients) do not already go: GNSS callbacks, the network callback, Wi-Fi records and the upgrade task
// client; and the positions the simulator's NMEA parser gives those clients.
#include <gtest/gtest.h>

#include <tbox/gnss.h>
#include <tbox/net.h>
#include <tbox/upgrade.h>
#include <tbox/wifi.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "nmea.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "support/sim_runner.h"

using tbox::test::pump_until;
using tbox::test::SimRunner;

namespace {

class SimClients : public ::testing::Test {
protected:
    // Starts the simulator: "" or why it failed.
    std::string start(const tbox::sim::Options &options = {}) {
        sim = std::make_unique<SimRunner>(options);
        return sim->failure();
    }
    tbox::test::LogCapture log;  // keeps the clients' syslog and g_print lines out of the test output
    tbox::test::PrintCapture print;
    std::unique_ptr<SimRunner> sim;
};

std::vector<std::string> g_nmea;
std::vector<GnssRecord> g_records;

TEST_F(SimClients, GnssHearsTheDriveAndReadsThePosition) {
    tbox::sim::Options options;
    options.speed = 50;
    ASSERT_EQ(start(options), "");
    ASSERT_EQ(InitGNSSInterface([](const char *s) { g_nmea.emplace_back(s); },
                                [](const GnssRecord *r) { g_records.push_back(*r); }),
              0);
    EXPECT_EQ(GetForceSyncFlag(), 1);
    EXPECT_EQ(sim->inject(std::string("gnss.start ") + TBOX_SIM_DRIVE_LOG), "");
    ASSERT_TRUE(pump_until([] { return g_records.size() >= 10; }));
    EXPECT_EQ(g_nmea.front().rfind("$GNRMC,083000.00,V,", 0), 0u) << "the log from its first line";
    EXPECT_EQ(g_records.back().field[0], 1);
    EXPECT_NEAR(g_records.back().field[1], 31230416, 2000) << "near the depot";
    EXPECT_EQ(sim->inject("gnss.sync 0"), "");
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 0; }));
}

// Every hemisphere's sign and the edges of the globe, in RMC and GGA alike; a coordinate off the globe or
// not written as [d]ddmm.mmmm with its hemisphere letter is refused by name and leaves the fix as it was.
TEST(SimNmea, PositionsInEveryHemisphereAndRefusedOnesOffTheGlobe) {
    namespace nmea = tbox::sim::nmea;
    struct Row {
        std::string lat, lon;  // as the sentence writes them, "ddmm.mmmm,N"
        int lat_e6, lon_e6;
        std::string refused;  // "latitude" or "longitude", "" when accepted
    };
    const Row rows[] = {
        {"3113.8250,N", "12128.4221,E", 31230417, 121473702, ""},   // north-east
        {"3352.0000,S", "15112.6000,E", -33866667, 151210000, ""},  // south-east
        {"4042.7680,N", "07400.3600,W", 40712800, -74006000, ""},   // north-west
        {"2254.0000,S", "04310.0000,W", -22900000, -43166667, ""},  // south-west
        {"0000.0000,S", "00000.0000,W", 0, 0, ""},
        {"9000.0000,N", "18000.0000,E", 90000000, 180000000, ""},
        {"9000.0000,S", "18000.0000,W", -90000000, -180000000, ""},
        {"8959.9999,N", "17959.9999,W", 89999998, -179999998, ""},
        {"9100.0000,N", "00000.0000,E", 0, 0, "latitude"},
        {"9000.0001,N", "00000.0000,E", 0, 0, "latitude"},
        {"3160.0000,S", "00000.0000,E", 0, 0, "latitude"},
        {"3113.8250,E", "12128.4221,E", 0, 0, "latitude"},
        {"3113.8250,n", "12128.4221,E", 0, 0, "latitude"},
        {"3113.8250,", "12128.4221,E", 0, 0, "latitude"},
        {"313.8250,N", "12128.4221,E", 0, 0, "latitude"},
        {"-3113.8250,N", "12128.4221,E", 0, 0, "latitude"},
        {"3113.8250,N", "18100.0000,W", 0, 0, "longitude"},
        {"3113.8250,N", "18000.0001,W", 0, 0, "longitude"},
        {"3113.8250,N", "12160.0000,E", 0, 0, "longitude"},
        {"3113.8250,N", "1213.0000,E", 0, 0, "longitude"},
        {"3113.8250,N", "12128.4221,N", 0, 0, "longitude"},
    };
    for (const Row &row : rows) {
        const std::string sentences[] = {"$GNRMC,083003.00,A," + row.lat + "," + row.lon + ",10.00,62.5,140326,,,A,V",
                                         "$GNGGA,083003.00," + row.lat + "," + row.lon + ",1,09,0.8,4.4,M,9.8,M,,"};
        for (const std::string &body : sentences) {
            SCOPED_TRACE(body);
            nmea::Sentence sentence;
            ASSERT_EQ(nmea::parse_sentence(nmea::with_checksum(body), sentence), "");
            nmea::Fix fix;
            fix.lat_e6 = 7;
            fix.lon_e6 = -7;
            const std::string error = nmea::apply(sentence, fix);
            if (row.refused.empty()) {
                EXPECT_EQ(error, "");
                EXPECT_EQ(std::make_pair(fix.lat_e6, fix.lon_e6), std::make_pair(row.lat_e6, row.lon_e6));
            } else {
                const std::string coordinate = row.refused == "latitude" ? row.lat : row.lon;
                EXPECT_EQ(error, sentence.kind + " " + row.refused + " \"" + coordinate + "\"");
                EXPECT_EQ(std::make_pair(fix.lat_e6, fix.lon_e6), std::make_pair(7, -7)) << "changed";
                EXPECT_EQ(fix.valid, 0) << "changed";
            }
        }
    }
}

TEST(SimNmea, OnlyPrintableCharactersOtherThanDollarMakeASentence) {
    namespace nmea = tbox::sim::nmea;
    const std::pair<char, std::string> rows[] = {
        {' ', ""},
        {'~', ""},
        {'\x1f', "character 31 inside the sentence"},
        {'\x7f', "character 127 inside the sentence"},
        {'$', "character 36 inside the sentence"},
    };
    for (const auto &[c, complaint] : rows) {
        nmea::Sentence sentence;
        EXPECT_EQ(nmea::parse_sentence(nmea::with_checksum(std::string("$GPTXT,01,01,02,a") + c + "b"), sentence),
                  complaint)
            << static_cast<int>(c);
    }
}

std::vector<std::pair<int, int>> g_net;

TEST_F(SimClients, NetClientFollowsAProfileGoingDown) {
    ASSERT_EQ(start(), "");
    ASSERT_EQ(RegisterNetWorkStatusChangeCBack([](int slot, int status) { g_net.emplace_back(slot, status); }), 0);
    ASSERT_EQ(InitNetInterface(), 0);
    char ip[64] = "";
    EXPECT_EQ(GetNetWorkIp(1, ip), 0);
    EXPECT_STREQ(ip, "10.64.21.117");
    EXPECT_EQ(sim->inject("net.down 1"), "");
    ASSERT_TRUE(pump_until([] { return g_net.size() == 2; }));
    EXPECT_EQ(g_net, (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}}));
    EXPECT_EQ(GetNetWorkIp(1, ip), 0);
    EXPECT_STREQ(ip, "");
}

TEST_F(SimClients, WifiClientRunsTheAccessPointAndJoinsANetwork) {
    ASSERT_EQ(start(), "");
    ASSERT_EQ(InitWifiInterface(), 0);
    EXPECT_EQ(StartWiFiAp(), -1) << "Wi-Fi is off";
    EXPECT_EQ(EnableWiFi(), 0);
    WiFiApInfo info{};
    std::strcpy(info.ssid, "0123456789012345678901234567890");  // 31 characters, the most a record holds
    std::strcpy(info.passwd, "secret-passphrase");
    info.value = 0;
    EXPECT_EQ(SetWiFiApInfo(&info, 0), -1) << "no such security mode";
    info.value = 1;
    EXPECT_EQ(SetWiFiApInfo(&info, 0), 0);
    WiFiApInfo back{};
    EXPECT_EQ(GetWiFiApInfo(&back), 0);
    EXPECT_EQ(std::memcmp(&back, &info, sizeof info), 0);
    EXPECT_EQ(StartWiFiAp(), 0);
    EXPECT_EQ(ConnectWiFiStaToApp("depot-wlan", ""), -1) << "station not started";
    EXPECT_EQ(SetWiFiMode(2), 0);
    EXPECT_EQ(StartWiFiSta(), 0);
    EXPECT_EQ(ConnectWiFiStaToApp("depot-wlan", "1234"), -1) << "wrong password";
    EXPECT_EQ(ConnectWiFiStaToApp("depot-wlan", ""), 0);
    EXPECT_EQ(ClientGetWifiStatus(), 4);
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

TEST_F(SimClients, UpgradeClientInstallsAPackageAsTheBoundProcess) {
    tbox::test::TempDir dir;
    tbox::test::put(dir / "app.bin", std::string(600, 'x'));  // its gzip holds more than a tar header
    tbox::test::run("tar -C " + dir.path + " -czf " + (dir / "pkg.tgz") + " app.bin");
    tbox::test::run("tar -C " + dir.path + " -cf " + (dir / "pkg.tar") + " app.bin");
    tbox::test::run("gzip -c " + (dir / "app.bin") + " > " + (dir / "plain.gz"));
    tbox::sim::Options options;
    options.upgrade_ms = 500;
    ASSERT_EQ(start(options), "");
    ASSERT_EQ(InitUpgradeClient(), 0);
    ASSERT_EQ(RegisterStatueChangedCb([](int32_t state) { g_upgrade_states.push_back(state); }), 0);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(sim->received("ky.update BindUpgrade"),
              std::vector<std::string>{"ky.update BindUpgrade (" + std::to_string(getpid()) + ",)"});
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    GVariant *other = g_dbus_connection_call_sync(bus, "ky.update", "/ky/update", "ky.update", "BindUpgrade",
                                                  g_variant_new("(i)", getpid() + 1), nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  -1, nullptr, nullptr);
    EXPECT_EQ(other, nullptr) << "one process bound at a time";
    g_object_unref(bus);

    char message[TBOX_START_MESSAGE_SIZE] = "";
    EXPECT_EQ(start_upgrade(dir / "pkg.tgz", message), 0);
    EXPECT_STREQ(message, "upgrade:package accepted");
    EXPECT_EQ(g_upgrade_states, (std::vector<int>{1, 0}));
    for (const char *bad : {"missing.tgz", "plain.gz", "pkg.tar", "app.bin"}) {
        EXPECT_EQ(start_upgrade(dir / bad, message), -1) << bad;
        EXPECT_NE(std::string(message).find("ky.update.Error.BadPackage"), std::string::npos) << message;
    }
    EXPECT_EQ(sim->inject("update.outcome 7"), "");
    EXPECT_EQ(start_upgrade(dir / "pkg.tgz", message), -1) << "the upgrade ended with failure code 7";
    EXPECT_EQ(UnbindUpgradeTask(1), 0);
    EXPECT_EQ(UnbindUpgradeTask(1), -1) << "no longer the bound process";
}

}  // namespace
