// What the configuration channel does differently from the MCU channel (whose tests cover the shared
// queue protocol): service key 2, its limits, largest text, timeout in milliseconds, log texts.
#include "tbox/upgrade_config.h"

#include <sys/msg.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <tuple>

#include "support/fake_queue_service.h"
#include "tbox/mcu.h"

using namespace std::chrono_literals;
using namespace tbox::test;

namespace {

class Config : public QueueTest {
protected:
    std::unique_ptr<ConfigMsg> msg_ = std::make_unique<ConfigMsg>();
};

TEST_F(Config, UsesServiceKey2AndItsOwnTexts) {
    ServiceQueue mcu(1);
    EXPECT_EQ(InitUpgradeConfigClient(), -1);
    EXPECT_TRUE(log_.has("Open Upgrade ConfigQueue Error:[No such file or directory]\n"));
    ServiceQueue service(2);
    msgget(thread_id(), IPC_CREAT | 0644);
    EXPECT_EQ(SubscriptionConfigMsg(thread_id(), CONFIG_TYPE_FIRST), -1);
    EXPECT_TRUE(log_.has("Upgrade ConfigQueue not Open,Please Call InitUpgradeConfigClient\n"));

    const size_t lines = log_.size();
    const int keyId = InitUpgradeConfigClient();
    ASSERT_EQ(keyId, thread_id());
    const std::string k = std::to_string(keyId);
    EXPECT_EQ(log_.size(), lines + 1);  // no Start line
    EXPECT_TRUE(log_.has("InitUpgradeConfigClient:End,InitUpgradeConfigClient Success,keyId[" + k + "]\n"));
    ASSERT_EQ(SubscriptionConfigMsg(keyId, static_cast<ConfigType>(0x3FFE)), 0);
    EXPECT_TRUE(log_.has("SendCtrlMsgToUpgrade:ret[0],ctrlType[1],msgType[3ffe],keyId[" + k + "]\n"));
    const auto got = take_all(service.id);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].mtype, 1);
    EXPECT_EQ(Bytes(got[0].text.begin(), got[0].text.begin() + 4), (Bytes{0xFE, 0x3F, 0, 0}));
    EXPECT_EQ(queued(mcu.id), 0u);
}

// One thread that opens both channels has one queue: each receive takes whatever comes first.
TEST_F(Config, SharesTheThreadsQueueWithTheMcuChannel) {
    ServiceQueue mcu(1), upgrade(2);
    const int keyId = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), keyId);
    ASSERT_EQ(raw_send(app_queue(keyId), 7, Bytes{0xC0, 0xFF, 0, 0, 2, 0, 1, 2}), 0);
    ASSERT_EQ(raw_send(app_queue(keyId), 0x0201, Bytes{1, 2, 0, 0, 1, 0, 0x80, 0, 3}), 0);
    auto mcuMsg = std::make_unique<McuMsg>();
    EXPECT_EQ(GetMcuMsg(keyId, mcuMsg.get(), -1), 8);
    EXPECT_EQ(mcuMsg->mtype, 7);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), -1), 9);
    EXPECT_EQ(msg_->mtype, 0x0201);
}

TEST_F(Config, SubscriptionsAcceptKeysFrom3AndSignedTypesWithinTheLimits) {
    ServiceQueue service(2);
    const int own = InitUpgradeConfigClient();
    msgget(3, IPC_CREAT | 0644);
    const std::string over = "keyId[" + std::to_string(own) + "] MsgType[";
    const std::tuple<uint32_t, int, std::string> cases[] = {
        // keyId, msgType, refusal ("": accepted)
        {2, 3, "Wrong keyid[2]\n"},
        {3, 3, ""},
        {uint32_t(own), 2, over + "2] over max limit,Please Check\n"},
        {uint32_t(own), 0x3FFE, ""},
        {uint32_t(own), 0x3FFF, over + "16383] over max limit,Please Check\n"},
        {uint32_t(own), -1, over + "-1] over max limit,Please Check\n"},
        {uint32_t(own), INT_MIN, over + "-2147483648] over max limit,Please Check\n"},
    };
    size_t accepted = 0;
    for (const auto &[keyId, msgType, refusal] : cases) {
        const int expected = refusal.empty() ? 0 : -1;
        const auto type = static_cast<ConfigType>(msgType);
        EXPECT_EQ(SubscriptionConfigMsg(keyId, type), expected) << keyId << "/" << msgType;
        EXPECT_EQ(UnSubscriptionConfigMsg(keyId, type), expected) << keyId << "/" << msgType;
        EXPECT_TRUE(refusal.empty() || log_.has(refusal)) << refusal;
        accepted += refusal.empty() ? 2 : 0;
    }
    EXPECT_EQ(queued(service.id), accepted);
}

TEST_F(Config, ReceiveTakesTheLargestTextCountsTheTimeoutInMillisecondsAndLogsInItsOwnWords) {
    ServiceQueue service(2);
    const int keyId = InitUpgradeConfigClient();
    const int queue = app_queue(keyId);
    ASSERT_EQ(raw_send(queue, 5, Bytes{0xC0, 0xFF, 0, 0, 3, 0, 1, 2, 3}), 0);
    Bytes largest(4212, 0x22);
    largest[4] = 1;
    largest[5] = 0;
    ASSERT_EQ(raw_send(queue, 3, largest), 0);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), -1), 9);
    EXPECT_EQ(msg_->len, 3);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), 0), 4212);
    EXPECT_EQ(msg_->body[0], 0x22);
    const std::string got = " APP GetData key[" + std::to_string(keyId) + "],recv [";
    EXPECT_TRUE(log_.has(got + "9] OK,MsgType[0x0005],MsgLen[3],\n"));    // blocking
    EXPECT_TRUE(log_.has(got + "4212] OK,MsgType[0x0003],MsgLen[1]\n"));  // polling
    EXPECT_EQ(GetConfigMsg(keyId, nullptr, 0), -1);
    EXPECT_TRUE(log_.has("Recv Config Msg Buff Is NULL\n"));

    ASSERT_EQ(raw_send(queue, 3, Bytes(4213, 0x33)), 0);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), -1), -1);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), 1000), -1);
    EXPECT_EQ(queued(queue), 1u);
    take_all(queue);

    const std::pair<int, int> cases[] = {{0, 1}, {49, 1}, {50, 2}, {100, 3}, {1000, 21}};  // timeout, attempts
    for (const auto &[timeout, attempts] : cases) {
        count_polls(queue);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), timeout), -12);
        EXPECT_GE(std::chrono::steady_clock::now() - start, attempts * 50ms);
        EXPECT_EQ(polls(), attempts) << "timeout " << timeout << " ms";
    }
}

}  // namespace
