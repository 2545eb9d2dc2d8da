// GB real-time data client against a fake ky.gbreal service: records, the alarm state, KL15 status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "tbox/gb.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;
using tbox::test::pump_until;

namespace {

struct Record {
    int32_t length;
    std::string buffer;  // the readable buffer: 2048 bytes, or the record's length when longer
};
std::vector<Record> g_records;
void on_record(int32_t length, const uint8_t *data) {
    const size_t readable = std::max<size_t>(GB_RECORD_BUFFER_SIZE, static_cast<size_t>(length));
    g_records.push_back({length, std::string(reinterpret_cast<const char *>(data), readable)});
}
void other_record(int32_t, const uint8_t *) {
    ADD_FAILURE() << "a second InitGbRealDataClient replaced the callback";
}

class GbClient : public ::testing::Test {
protected:
    FakeService service{"ky.gbreal", "/ky/gbreal", [] { return gpointer(ky_gbreal_skeleton_new()); }};
    KyGbreal *skeleton() { return service.skeleton<KyGbreal>(); }
    void emit(int32_t length, const std::string &bytes) {
        service.run([&] {
            ky_gbreal_emit_gb_real_data(skeleton(), length,
                                        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1));
        });
    }
};

TEST_F(GbClient, RecordsArriveWholeAndZeroFilledOrAreDroppedWithAWarning) {
    LogCapture log;
    EXPECT_EQ(InitGbRealDataClient(nullptr), -1);
    EXPECT_TRUE(log.has("GbRecvRealDataCBack is NULL\n"));
    ASSERT_EQ(InitGbRealDataClient(on_record), 0);
    EXPECT_EQ(InitGbRealDataClient(other_record), 0);
    EXPECT_EQ(InitGbRealDataClient(nullptr), -1);
    EXPECT_TRUE(log.has("GbRealData Client has init\n"));
    const std::string big(3000, '\x5a');
    emit(5, "");              // empty: warning, no callback
    emit(-1, "\x01");         // negative length: dropped
    emit(2049, "\x01\x02");   // longer than the 2048-byte buffer: dropped
    emit(3001, big);          // longer than its own buffer: dropped
    emit(3, "\x01\x02\x03");  // delivered, zero-filled after the bytes
    emit(2048, "\x07");       // the length is passed as carried
    emit(3000, big);          // delivered whole
    ASSERT_TRUE(pump_until([] { return g_records.size() == 3; }));
    tbox::test::pump_for(100);
    ASSERT_EQ(g_records.size(), 3u);
    EXPECT_EQ(g_records[0].length, 3);
    EXPECT_EQ(g_records[0].buffer, std::string("\x01\x02\x03") + std::string(2045, '\0'));
    EXPECT_EQ(g_records[1].length, 2048);
    EXPECT_EQ(g_records[1].buffer, "\x07" + std::string(2047, '\0'));
    EXPECT_EQ(g_records[2].length, 3000);
    EXPECT_EQ(g_records[2].buffer, big);
    EXPECT_TRUE(log.has("Get GbRealData  Error\n"));
    for (const char *line : {"recvDataLen[-1] outside the 2048-byte buffer of a 1-byte record\n",
                             "recvDataLen[2049] outside the 2048-byte buffer of a 2-byte record\n",
                             "recvDataLen[3001] outside the 3000-byte buffer of a 3000-byte record\n"}) {
        EXPECT_TRUE(log.has(std::string("Drop GbRealData: ") + line)) << line;
    }
}

TEST_F(GbClient, AlarmFollowsThePublishedStateWithoutMethodCalls) {
    EXPECT_EQ(IsAlarm(), 0);
    service.run([&] { ky_gbreal_set_alarm_state(skeleton(), TRUE); });
    ASSERT_EQ(InitGbRealDataClient(on_record), 0);
    EXPECT_EQ(IsAlarm(), 1);
    service.run([&] { ky_gbreal_set_alarm_state(skeleton(), FALSE); });
    EXPECT_TRUE(pump_until([] { return IsAlarm() == 0; }));
    EXPECT_EQ(service.members(), std::vector<std::string>{});
    EXPECT_EQ(service.count("Get"), 0u);
    EXPECT_EQ(service.count("GetAll"), 1u);  // the proxy's one load at creation
}

TEST_F(GbClient, Kl15AndChargingStatusAreWrittenOrRefusedSilently) {
    int32_t kl15 = -9, charging = -9;
    LogCapture log;
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), -1);
    ASSERT_EQ(InitGbRealDataClient(on_record), 0);
    EXPECT_EQ(GetKL15AndChargingStatus(nullptr, &charging) | GetKL15AndChargingStatus(&kl15, nullptr), -1);
    EXPECT_EQ(service.members(), std::vector<std::string>{});
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), -1);  // no handler: a D-Bus error, not logged
    EXPECT_TRUE(kl15 == -9 && charging == -9);
    EXPECT_FALSE(log.contains("[err]"));
    service.reply("handle-get-kl15-and-charging-status", g_variant_new("(ii)", 1, 2));
    EXPECT_EQ(GetKL15AndChargingStatus(&kl15, &charging), 0);
    EXPECT_TRUE(kl15 == 1 && charging == 2);
}

}  // namespace
