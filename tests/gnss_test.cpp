// GNSS client against a fake ky.gnss service: the record, the callbacks and the force-sync flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "tbox/gnss.h"

using tbox::test::FakeService;
using tbox::test::pump_until;

namespace {

std::vector<std::string> g_seen;  // what the callbacks received, in order
void first_nmea(const char *nmea) {
    g_seen.push_back(std::string("first:") + nmea);
}
void other_nmea(const char *nmea) {
    g_seen.push_back(std::string("other:") + nmea);
}
void record_callback(const GnssRecord *r) {
    std::string text = "record:";
    for (int32_t f : r->field) text += std::to_string(f) + " ";
    g_seen.push_back(text);
}

GVariant *tuple(int first) {
    return g_variant_new("(iiiiiiiiii)", first, 2, 3, 4, 5, 6, 7, 8, 9, -10);
}

class GnssClient : public ::testing::Test {
protected:
    FakeService service{"ky.gnss", "/ky/gnss", [] { return gpointer(ky_gnss_skeleton_new()); }};
    tbox::test::PrintCapture printed;
    KyGnss *skeleton() { return service.skeleton<KyGnss>(); }
};

TEST_F(GnssClient, RecordsAreCopiedAsTenNumbersInOrderAndFailuresLeaveThemAlone) {
    GnssRecord record{{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1}};
    EXPECT_FALSE(GetGpsData(&record));  // not initialised: nothing sent, nothing printed
    ASSERT_EQ(InitGNSSInterface(nullptr, nullptr), 0);
    EXPECT_FALSE(GetGpsData(nullptr));
    EXPECT_EQ(service.members(), std::vector<std::string>{});
    EXPECT_EQ(printed.take(), "");
    EXPECT_FALSE(GetGpsData(&record));
    EXPECT_EQ(printed.take(),
              "get param error:GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method "
              "GetGpsData is not implemented on interface ky.gnss\n");
    EXPECT_EQ(record.field[0] & record.field[9], -1);
    service.handle("handle-get-gps-data", [](GDBusMethodInvocation *inv) {
        ky_gnss_complete_get_gps_data(nullptr, inv, tuple(1));
        return true;
    });
    EXPECT_TRUE(GetGpsData(&record));
    EXPECT_EQ(printed.take(), "get param success\n");
    const GnssRecord expected{{1, 2, 3, 4, 5, 6, 7, 8, 9, -10}};
    EXPECT_EQ(std::vector<int32_t>(record.field, record.field + 10),
              std::vector<int32_t>(expected.field, expected.field + 10));
}

TEST_F(GnssClient, SignalsReachTheFirstCallbacksAndSetTheForceSyncFlag) {
    EXPECT_EQ(GetForceSyncFlag(), 1);
    ASSERT_EQ(InitGNSSInterface(first_nmea, nullptr), 0);
    ASSERT_EQ(InitGNSSInterface(other_nmea, record_callback), 0);  // kept: the first callbacks stay
    EXPECT_EQ(GetForceSyncFlag(), 1);
    service.run([&] {
        ky_gnss_emit_gps_parsered_update(skeleton(), tuple(5));  // no record callback: ignored
        ky_gnss_emit_gps_orignal_update(skeleton(), "$GPGGA,1*00");
        ky_gnss_emit_gps_sync_time(skeleton(), 0);
    });
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 0; }));
    EXPECT_EQ(g_seen, std::vector<std::string>{"first:$GPGGA,1*00"});
    service.run([&] { ky_gnss_emit_gps_sync_time(skeleton(), 7); });
    ASSERT_TRUE(pump_until([] { return GetForceSyncFlag() == 7; }));
    EXPECT_EQ(printed.take(), "");
}

TEST_F(GnssClient, ParsedRecordsReachTheRecordCallbackWhole) {
    ASSERT_EQ(InitGNSSInterface(nullptr, record_callback), 0);
    service.run([&] {
        ky_gnss_emit_gps_orignal_update(skeleton(), "$GPRMC*00");  // no NMEA callback: ignored
        ky_gnss_emit_gps_parsered_update(skeleton(), tuple(5));
    });
    ASSERT_TRUE(pump_until([] { return !g_seen.empty(); }));
    tbox::test::pump_for(100);
    EXPECT_EQ(g_seen, std::vector<std::string>{"record:5 2 3 4 5 6 7 8 9 -10 "});
}

}  // namespace
