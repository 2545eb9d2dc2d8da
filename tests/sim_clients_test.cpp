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
#include <cctype>
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
        {"4404.14083,N", "12118.85886,W", 44069014, -121314314, ""},  // five and six decimals of a minute
        {"5547.821130,N", "02334.141300,E", 55797019, 23569022, ""},
        {"9100.0000,N", "00000.0000,E", 0, 0, "latitude"},
        {"9000.0001,N", "00000.0000,E", 0, 0, "latitude"},
        {"9000.5000,S", "00000.0000,E", 0, 0, "latitude"},
        {"8960.0000,N", "00000.0000,E", 0, 0, "latitude"},
        {"3160.0000,S", "00000.0000,E", 0, 0, "latitude"},
        {"3113.8250,E", "12128.4221,E", 0, 0, "latitude"},
        {"3113.8250,n", "12128.4221,E", 0, 0, "latitude"},
        {"3113.8250,", "12128.4221,E", 0, 0, "latitude"},
        {"313.8250,N", "12128.4221,E", 0, 0, "latitude"},
        {"-3113.8250,N", "12128.4221,E", 0, 0, "latitude"},
        {"3113.8250,N", "18100.0000,W", 0, 0, "longitude"},
        {"3113.8250,N", "18000.0001,W", 0, 0, "longitude"},
        {"3113.8250,N", "18000.500000,E", 0, 0, "longitude"},
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
            nmea::Track track;
            nmea::Fix &fix = track.fix;
            fix.lat_e6 = 7;
            fix.lon_e6 = -7;
            const std::string error = nmea::apply(sentence, track);
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
        {'!', "character 33 inside the sentence"},
    };
    for (const auto &[c, complaint] : rows) {
        nmea::Sentence sentence;
        EXPECT_EQ(nmea::parse_sentence(nmea::with_checksum(std::string("$GPTXT,01,01,02,a") + c + "b"), sentence),
                  complaint)
            << static_cast<int>(c);
    }
}

// What one line from the receiver gives: its sentences byte for byte ("= text"), whatever the address,
// with or without a checksum; or refusals ("! reason").
TEST(SimNmea, ALineGivesItsSentencesUnchangedAndRefusesTheRest) {
    namespace nmea = tbox::sim::nmea;
    const std::string rmc = nmea::with_checksum("$GNRMC,101500.00,A,4807.0380,N,01131.0000,E,0.2,,070426,,,A");
    const std::string gsa = nmea::with_checksum("$GPGSA,A,1,,,,,,,,,,,,,,,");
    const std::string epe = nmea::with_checksum("$PSRFEPE,101500.000,A,1.2,8.40,12.50,0.3,90.0");
    std::string lower = nmea::with_checksum("$GPTXT,01,01,02,ant ok");  // hex digits in lower case
    for (size_t i = lower.size() - 2; i < lower.size(); ++i) lower[i] = static_cast<char>(std::tolower(lower[i]));
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {epe, {"= " + epe}},
        {nmea::with_checksum("$PMTK010,002"), {"= " + nmea::with_checksum("$PMTK010,002")}},
        {"$PLCS,REV,AB12,070312", {"= $PLCS,REV,AB12,070312"}},
        {nmea::with_checksum("!AIVDM,1,1,,B,15Mg`K@P3?fl0E,0"),
         {"= " + nmea::with_checksum("!AIVDM,1,1,,B,15Mg`K@P3?fl0E,0")}},
        {lower + "\r", {"= " + lower}},
        {gsa + rmc, {"= " + gsa, "= " + rmc}},
        {" " + rmc + " \t", {"= " + rmc}},
        {"$GPGSV,3,1,11,23,87,270," + rmc, {"! cut short: the next sentence starts before its end", "= " + rmc}},
        {gsa + "0,*4E", {"= " + gsa, "! does not start with $ or !"}},
        {"$GPGSA,A,1,,,,,,,,,,,,,,,*00", {"! bad checksum: sentence says 00, computed 1E"}},
        {rmc.substr(1), {"! does not start with $ or !"}},
        {"$GPRMC,0001\x01", {"! character 1 inside the sentence"}},
        {nmea::with_checksum("$GP,00,0.0,,M"), {"! address \"GP\" is not a talker and a type"}},
        {"$PAB,1", {"! address \"PAB\" is not a talker and a type"}},
        {"$GPRMCXX,1", {"! address \"GPRMCXX\" is not a talker and a type"}},
        {nmea::with_checksum("$gprmc,1"), {"! address \"gprmc\" is not upper-case letters and digits"}},
    };
    for (const auto &[line, expected] : rows) {
        std::vector<std::string> got;
        for (const nmea::Piece &piece : nmea::parse_line(line))
            got.push_back(piece.error.empty() ? "= " + piece.sentence.text : "! " + piece.error);
        EXPECT_EQ(got, expected) << line;
    }
}

// Sentences in order through one track: each gives "valid date hhmmss" of the record, or its refusal. A
// record is dated only by a valid RMC of its own epoch, with the year as the receiver wrote it.
TEST(SimNmea, ARecordIsDatedOnlyByAValidRmcOfItsOwnEpoch) {
    namespace nmea = tbox::sim::nmea;
    const std::string pos = "4807.0380,N,01131.0000,E";
    const auto rmc = [&](const std::string &time, const std::string &status, const std::string &date) {
        return nmea::with_checksum("$GPRMC," + time + "," + status + "," + pos + ",0.5,54.7," + date + ",,,A");
    };
    const auto gga = [&](const std::string &talker, const std::string &time, const std::string &quality) {
        return nmea::with_checksum("$" + talker + "GGA," + time + "," + pos + "," + quality +
                                   ",08,0.9,545.4,M,46.9,M,,");
    };
    const std::vector<std::pair<std::string, std::string>> runs[] = {
        // Two-digit years: 80-99 are the 1900s, 00-79 the 2000s; after a week roll-over a receiver says 1999.
        {{rmc("000231.42", "A", "220899"), "1 19990822 231"},
         {rmc("000232.42", "A", "010180"), "1 19800101 232"},
         {rmc("000233.42", "A", "311279"), "1 20791231 233"},
         {rmc("000234.42", "A", "010100"), "1 20000101 234"},
         {rmc("000235.42", "A", ""), "1 0 235"}},
        // A no-fix RMC with its default date, then a fix from GGA: of another epoch, then of the same one.
        {{rmc("235952.953", "V", "050180"), "0 0 235952"},
         {gga("GP", "102523.342", "1"), "1 0 102523"},
         {rmc("102523.342", "A", "210808"), "1 20080821 102523"},
         {rmc("102524.342", "V", "050180"), "0 0 102524"},
         {gga("GN", "102524.342", "2"), "1 0 102524"}},
        // GGA before RMC across midnight: never yesterday's date; the RMC dates the epoch's later GGA.
        {{rmc("235959.50", "A", "140326"), "1 20260314 235959"},
         {gga("GL", "235959.50", "1"), "1 20260314 235959"},
         {gga("GN", "000000.00", "1"), "1 0 0"},
         {rmc("000000.00", "A", "150326"), "1 20260315 0"},
         {gga("GP", "000000.00", "1"), "1 20260315 0"},
         {gga("GP", "000000.00", "0"), "0 0 0"},
         {gga("GP", "000000.50", "1"), "1 0 0"}},
        // Empty times in no-fix sentences; refusals leave the record as it was.
        {{rmc("120000", "A", "070426"), "1 20260407 120000"},
         {nmea::with_checksum("$GPRMC,,V,,,,,,,,,,N"), "0 0 0"},
         {nmea::with_checksum("$GPGGA,,,,,,0,00,99.99,,,,,,"), "0 0 0"},
         {rmc("", "A", "070426"), "RMC time \"\" is not hhmmss[.sss]"},
         {rmc("120001", "A", "2208-1"), "RMC date \"2208-1\" is not ddmmyy"},
         {"$GPGGA,120001," + pos + ",1,08,0.9,545.4,M,46.9,M,,", "GGA without a checksum"},
         {gga("GP", "120001", "x"), "GGA quality \"x\" is not a digit"},
         {gga("GP", "120001", "1"), "1 0 120001"}},
    };
    for (const auto &run : runs) {
        nmea::Track track;
        for (const auto &[text, expected] : run) {
            nmea::Sentence sentence;
            ASSERT_EQ(nmea::parse_sentence(text, sentence), "") << text;
            const std::string error = nmea::apply(sentence, track);
            const nmea::Fix &f = track.fix;
            EXPECT_EQ(error.empty()
                          ? std::to_string(f.valid) + " " + std::to_string(f.date) + " " + std::to_string(f.time)
                          : error,
                      expected)
                << text;
        }
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
