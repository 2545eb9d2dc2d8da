// Upgrade configuration channel against a fake upgrade service, each test in a private IPC namespace.
#include "tbox/upgrade_config.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_queue_service.h"
#include "support/ipc_namespace.h"
#include "support/log_capture.h"
#include "tbox/mcu.h"

using namespace std::chrono_literals;
using tbox::test::Bytes;
using tbox::test::FakeQueueService;
using tbox::test::PollCounter;
using tbox::test::queued;
using tbox::test::QueueRecord;
using tbox::test::raw_send;
using tbox::test::raw_take;

namespace {

constexpr key_t kServiceKey = 2;

int app_queue(int keyId) {
    return msgget(keyId, 0);
}
int thread_id() {
    return static_cast<int>(syscall(SYS_gettid));
}

// A configuration message: 4 service-defined bytes, the 16-bit length, then the body.
Bytes config_text(const Bytes &body) {
    Bytes text(6 + body.size());
    text[0] = 0xC0;
    text[1] = 0xFF;
    text[4] = static_cast<uint8_t>(body.size());
    text[5] = static_cast<uint8_t>(body.size() >> 8);
    std::copy(body.begin(), body.end(), text.begin() + 6);
    return text;
}

class UpgradeConfig : public ::testing::Test {
protected:
    void SetUp() override { TBOX_ENTER_PRIVATE_IPC_NAMESPACE(); }
    std::unique_ptr<ConfigMsg> msg_ = std::make_unique<ConfigMsg>();
    tbox::test::LogCapture log_;
};

using ConfigInit = UpgradeConfig;
using ConfigSubscribe = UpgradeConfig;
using ConfigReceive = UpgradeConfig;

// --- initialisation ----------------------------------------------------------------------------------

TEST_F(ConfigInit, ReturnsTheThreadIdWithoutAStartLine) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitUpgradeConfigClient();
    EXPECT_EQ(keyId, thread_id());
    EXPECT_NE(app_queue(keyId), -1);
    EXPECT_EQ(log_.messages(), std::vector<std::string>{"InitUpgradeConfigClient:End,InitUpgradeConfigClient "
                                                        "Success,keyId[" +
                                                        std::to_string(keyId) + "]\n"});
    EXPECT_EQ(InitUpgradeConfigClient(), keyId);
}

TEST_F(ConfigInit, FailsUntilTheServiceQueueExistsAndRefusesSubscriptionsMeanwhile) {
    EXPECT_EQ(InitUpgradeConfigClient(), -1);
    EXPECT_TRUE(log_.has("Open Upgrade ConfigQueue Error:[No such file or directory]\n"));
    EXPECT_EQ(app_queue(thread_id()), -1);
    FakeQueueService service(kServiceKey, FakeQueueService::Mode::kIdle);
    msgget(thread_id(), IPC_CREAT | 0644);
    EXPECT_EQ(SubscriptionConfigMsg(thread_id(), CONFIG_TYPE_FIRST), -1);
    EXPECT_TRUE(log_.has("Upgrade ConfigQueue not Open,Please Call InitUpgradeConfigClient\n"));
    EXPECT_EQ(queued(service.queue()), 0u);
    EXPECT_EQ(InitUpgradeConfigClient(), thread_id());
    EXPECT_EQ(SubscriptionConfigMsg(thread_id(), CONFIG_TYPE_FIRST), 0);
}

// One thread that opens both channels has one queue: each receive takes whatever comes first.
TEST_F(ConfigInit, SharesTheThreadsQueueWithTheMcuChannel) {
    FakeQueueService mcu(1);
    FakeQueueService upgrade(kServiceKey);
    const int keyId = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), keyId);
    ASSERT_EQ(SubscriptionMcuMsg(keyId, 0x0201), 0);
    ASSERT_EQ(SubscriptionConfigMsg(keyId, static_cast<ConfigType>(7)), 0);
    mcu.wait_for(1);
    upgrade.wait_for(1);
    ASSERT_EQ(upgrade.deliver(7, config_text({1, 2})), 1);
    ASSERT_EQ(mcu.deliver(0x0201, tbox::test::mcu_text(0x0201, 0x80, {3})), 1);
    auto mcuMsg = std::make_unique<McuMsg>();
    EXPECT_EQ(GetMcuMsg(keyId, mcuMsg.get(), -1), 8);
    EXPECT_EQ(mcuMsg->mtype, 7);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), -1), 9);
    EXPECT_EQ(msg_->mtype, 0x0201);
}

// --- subscriptions -----------------------------------------------------------------------------------

TEST_F(ConfigSubscribe, AcceptsExactlyTheDocumentedKeysAndTypes) {
    FakeQueueService service(kServiceKey, FakeQueueService::Mode::kIdle);
    const int own = InitUpgradeConfigClient();
    msgget(3, IPC_CREAT | 0644);
    const std::string k = std::to_string(own);
    struct Case {
        uint32_t keyId;
        int msgType;
        std::string refusal;
    } cases[] = {
        {2, 3, "Wrong keyid[2]\n"},
        {3, 3, ""},
        {uint32_t(own), 2, "keyId[" + k + "] MsgType[2] over max limit,Please Check\n"},
        {uint32_t(own), 0x3FFE, ""},
        {uint32_t(own), 0x3FFF, "keyId[" + k + "] MsgType[16383] over max limit,Please Check\n"},
        {uint32_t(own), -1, "keyId[" + k + "] MsgType[-1] over max limit,Please Check\n"},
        {uint32_t(own), INT_MIN, "keyId[" + k + "] MsgType[-2147483648] over max limit,Please Check\n"},
        {5555, 3, "Open App keyid[5555] RecvQueue Error,Please Call Init:[No such file or directory]\n"},
    };
    size_t accepted = 0;
    for (const auto &c : cases) {
        const bool ok = c.refusal.empty();
        const auto type = static_cast<ConfigType>(c.msgType);
        EXPECT_EQ(SubscriptionConfigMsg(c.keyId, type), ok ? 0 : -1) << c.keyId << "/" << c.msgType;
        EXPECT_EQ(UnSubscriptionConfigMsg(c.keyId, type), ok ? 0 : -1) << c.keyId << "/" << c.msgType;
        if (!ok) {
            EXPECT_TRUE(log_.has(c.refusal)) << c.refusal;
        }
        accepted += ok ? 2 : 0;
    }
    ASSERT_EQ(queued(service.queue()), accepted);
    QueueRecord first;
    ASSERT_TRUE(raw_take(service.queue(), &first));
    EXPECT_EQ(first.mtype, 1);
    EXPECT_EQ(first.text, (Bytes{3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(log_.has("SendCtrlMsgToUpgrade:ret[0],ctrlType[2],msgType[3ffe],keyId[" + k + "]\n"));
}

// --- receiving -----------------------------------------------------------------------------------------

TEST_F(ConfigReceive, LogsInItsOwnWords) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitUpgradeConfigClient();
    ASSERT_EQ(SubscriptionConfigMsg(keyId, static_cast<ConfigType>(5)), 0);
    service.wait_for(1);
    ASSERT_EQ(service.deliver(5, config_text({1, 2, 3})), 1);
    ASSERT_EQ(service.deliver(5, config_text({4})), 1);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), -1), 9);
    EXPECT_EQ(msg_->len, 3);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), 0), 7);
    EXPECT_EQ(msg_->body[0], 4);
    EXPECT_EQ(GetConfigMsg(keyId, nullptr, 0), -1);
    EXPECT_TRUE(log_.has("Recv Config Msg Buff Is NULL\n"));
    const std::string k = std::to_string(keyId);
    EXPECT_TRUE(log_.has(" APP GetData key[" + k + "],recv [9] OK,MsgType[0x0005],MsgLen[3],\n"));
    EXPECT_TRUE(log_.has(" APP GetData key[" + k + "],recv [7] OK,MsgType[0x0005],MsgLen[1]\n"));
}

TEST_F(ConfigReceive, CountsTheTimeoutInMilliseconds) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitUpgradeConfigClient();
    const std::pair<int, int> cases[] = {{0, 1}, {49, 1}, {50, 2}, {100, 3}, {1000, 21}};  // timeout, attempts
    for (const auto &[timeout, attempts] : cases) {
        PollCounter counter(app_queue(keyId));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), timeout), -12);
        EXPECT_GE(std::chrono::steady_clock::now() - start, attempts * 50ms);
        EXPECT_EQ(counter.attempts(), attempts) << "timeout " << timeout << " ms";
    }
}

TEST_F(ConfigReceive, TakesTheLargestTextAndLeavesLongerMessagesAtTheHead) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitUpgradeConfigClient();
    const int queue = app_queue(keyId);
    ASSERT_EQ(raw_send(queue, 3, Bytes(4212, 0x22)), 0);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), 0), 4212);
    ASSERT_EQ(raw_send(queue, 3, Bytes(4213, 0x33)), 0);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), -1), -1);
    EXPECT_EQ(GetConfigMsg(keyId, msg_.get(), 1000), -1);
    QueueRecord head;
    ASSERT_TRUE(raw_take(queue, &head));
    EXPECT_EQ(head.text.size(), 4213u);
}

}  // namespace
