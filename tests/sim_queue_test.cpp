// The simulator's queue services (MCU key 1, configuration key 2) against the SDK's queue clients, each
// test in its own IPC namespace.
#include <gtest/gtest.h>
#include <sys/msg.h>

#include <thread>
#include <vector>

#include "support/ipc_namespace.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "support/sim_runner.h"
#include "tbox/mcu.h"
#include "tbox/upgrade_config.h"

using tbox::test::raw_send;
using tbox::test::SimRunner;

namespace {

using Bytes = std::vector<uint8_t>;

class SimQueues : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string refused = tbox::test::private_ipc_namespace();
        if (!refused.empty()) GTEST_SKIP() << refused;
        tbox::sim::Options options;
        options.queues = true;
        options.queue_poll_ms = 2;
        options.gb_interval_ms = 0;
        sim_ = std::make_unique<SimRunner>(options);
        ASSERT_EQ(sim_->failure(), "");
    }
    // Waits until the service has taken everything from its queues and recorded `n` entries under prefix.
    bool recorded(const std::string &prefix, size_t n) {
        return tbox::test::pump_until([&] { return sim_->received(prefix).size() >= n; }, 2000);
    }
    tbox::test::LogCapture log_;  // keeps the library's lines out of syslog
    std::unique_ptr<SimRunner> sim_;
};

TEST_F(SimQueues, McuMessagesReachEverySubscribedQueueAndSentOnesAreRecorded) {
    const int key = InitMcuMsg();
    ASSERT_GT(key, 2);
    int other = -1;
    std::thread([&] { other = InitMcuMsg(); }).join();
    ASSERT_GT(other, 2);
    ASSERT_NE(other, key);
    ASSERT_EQ(SubscriptionMcuMsg(key, 0x0201), 0);
    ASSERT_EQ(SubscriptionMcuMsg(key, 0x0400), 0);
    ASSERT_EQ(SubscriptionMcuMsg(other, 0x0400), 0);
    ASSERT_TRUE(recorded("mcu subscribe", 3));

    McuMsg msg{};
    EXPECT_EQ(sim_->inject("mcu.send 0x0201 5 AABBCC"), "");
    ASSERT_EQ(GetMcuMsg(key, &msg, 1), 11);
    EXPECT_EQ(msg.subCmd, 5);
    EXPECT_EQ(Bytes(msg.data, msg.data + msg.len), (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(sim_->inject("mcu.send 0x0400 1 -"), "");
    EXPECT_EQ(GetMcuMsg(key, &msg, 1), 8);
    EXPECT_EQ(GetMcuMsg(other, &msg, 1), 8) << "each subscriber gets its copy";
    EXPECT_EQ(sim_->inject("mcu.send 0x0202 1 01"), "") << "nobody subscribed: dropped";
    EXPECT_EQ(GetMcuMsg(key, &msg, 0), -12);

    ASSERT_EQ(UnSubscriptionMcuMsg(key, 0x0201), 0);
    ASSERT_TRUE(recorded("mcu unsubscribe", 1));
    EXPECT_EQ(sim_->inject("mcu.send 0x0201 5 AA"), "");
    EXPECT_EQ(GetMcuMsg(key, &msg, 0), -12);

    const uint8_t payload[] = {0x01, 0x02};
    ASSERT_EQ(SendMcuMsg(0x0301, 2, 0x05, payload), 0);
    ASSERT_EQ(SendMcuMsg(0x0302, 0, 0x85, payload), 0);
    ASSERT_TRUE(recorded("mcu data", 2));
    EXPECT_EQ(sim_->received("mcu data"),
              (std::vector<std::string>{"mcu data 0x0301 sub 85 len 2 0102", "mcu data 0x0302 sub 85 len 0 "}));

    // A destroyed queue drops its subscriptions; the service carries on.
    ASSERT_EQ(DestroyMcuMsg(other), other);
    EXPECT_EQ(sim_->inject("mcu.send 0x0400 1 02"), "");
    EXPECT_EQ(GetMcuMsg(key, &msg, 1), 9);
}

TEST_F(SimQueues, ConfigurationMessagesReachSubscribersInTheSharedQueue) {
    const int key = InitUpgradeConfigClient();
    ASSERT_GT(key, 2);
    ASSERT_EQ(InitMcuMsg(), key);
    ASSERT_EQ(SubscriptionConfigMsg(key, ConfigType(5)), 0);
    ASSERT_EQ(SubscriptionMcuMsg(key, 0x0201), 0);
    ASSERT_TRUE(recorded("config subscribe", 1));
    ASSERT_TRUE(recorded("mcu subscribe", 1));
    EXPECT_EQ(sim_->inject("config.send 5 0A0B0C"), "");
    EXPECT_EQ(sim_->inject("mcu.send 0x0201 0 -"), "");
    ConfigMsg config{};
    ASSERT_EQ(GetConfigMsg(key, &config, 1000), 9);
    EXPECT_EQ(config.mtype, 5);
    EXPECT_EQ(Bytes(config.body, config.body + config.len), (Bytes{0x0A, 0x0B, 0x0C}));
    McuMsg msg{};
    EXPECT_EQ(GetMcuMsg(key, &msg, 1), 8) << "the MCU message came second in the same queue";
}

TEST_F(SimQueues, ImpossibleRecordsAreRefusedAndTheServicesKeepServing) {
    const int mcu = msgget(1, 0), config = msgget(2, 0);
    ASSERT_GE(mcu, 0);
    ASSERT_GE(config, 0);
    const int key = InitMcuMsg();
    ASSERT_EQ(raw_send(mcu, 0x0201, Bytes{0x01, 0x02, 0x00}), 0);                           // shorter than a header
    ASSERT_EQ(raw_send(mcu, 0x0201, Bytes{0x01, 0x02, 0, 0, 0x09, 0, 0x80, 0, 0xAA}), 0);   // len 9, 1 byte
    ASSERT_EQ(raw_send(mcu, 0x0201, Bytes{0x02, 0x02, 0, 0, 0x00, 0, 0x80, 0}), 0);         // type differs
    ASSERT_EQ(raw_send(mcu, 1, Bytes{0x01, 0x02, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}), 0);     // keyId 1
    ASSERT_EQ(raw_send(mcu, 1, Bytes{0x00, 0x01, 0, 0, 0xD2, 0x04, 0, 0, 0, 0, 0, 0}), 0);  // type 0x0100
    ASSERT_EQ(raw_send(config, 1, Bytes{0x03, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}), 0);     // keyId 2
    ASSERT_EQ(raw_send(config, 0x0201, Bytes{0x01, 0x02, 0, 0, 0, 0, 0, 0}), 0);            // data
    // Each one is refused (a record taken for valid would be recorded as data or a subscription).
    ASSERT_TRUE(recorded("config refused", 2));
    ASSERT_TRUE(recorded("mcu refused", 5));
    EXPECT_TRUE(sim_->received("mcu data").empty());

    ASSERT_EQ(SubscriptionMcuMsg(key, 0x0201), 0);
    ASSERT_TRUE(recorded("mcu subscribe", 1));
    EXPECT_EQ(sim_->inject("mcu.send 0x0201 0 -"), "");
    McuMsg msg{};
    EXPECT_EQ(GetMcuMsg(key, &msg, 1), 8);
}

TEST_F(SimQueues, ASecondSimulatorInTheSameNamespaceDoesNotTakeTheQueues) {
    tbox::test::ExtraBus other;
    tbox::sim::Options options;
    options.address = other.address;
    options.queues = true;
    SimRunner second(options);
    EXPECT_NE(second.failure().find("cannot create the queue with key 1"), std::string::npos) << second.failure();
    const int key = InitMcuMsg();
    ASSERT_EQ(SubscriptionMcuMsg(key, 0x0201), 0);
    ASSERT_TRUE(recorded("mcu subscribe", 1)) << "the first one still serves";
}

}  // namespace
