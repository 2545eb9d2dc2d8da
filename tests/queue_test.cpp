// MCU (key 1) and upgrade configuration (key 2) channels; each test owns an IPC namespace and plays the services.
#include <dlfcn.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ipc_namespace.h"
#include "support/kept_texts.h"
#include "support/log_capture.h"
#include "tbox/mcu.h"
#include "tbox/upgrade_config.h"

namespace {

using tbox::test::raw_send;
using Bytes = std::vector<uint8_t>;
std::atomic<int> g_countedQueue{-1};
std::atomic<int> g_polls{0};
// More polls than any case here expects: the counting receive then fails, so a wrong timeout unit
// (seconds taken for milliseconds) ends the receive at once instead of at the test runner's time-out.
constexpr int kPollLimit = 10;

// Takes the first message of type `mtype` (0: any) and returns its text; empty when there is none.
Bytes take(int queue, long mtype) {
    std::vector<unsigned char> buf(sizeof(long) + 65536);
    const ssize_t n = msgrcv(queue, buf.data(), 65536, mtype, IPC_NOWAIT);
    return n < 0 ? Bytes() : Bytes(buf.begin() + sizeof(long), buf.begin() + sizeof(long) + n);
}

size_t queued(int queue) {
    msqid_ds info{};
    return msgctl(queue, IPC_STAT, &info) == 0 ? info.msg_qnum : 0;
}

// Subscribes, then unsubscribes; returns how many of the two calls succeeded.
int subscribe_both(bool config, uint32_t keyId, uint32_t msgType) {
    const ConfigType configType = ConfigType(msgType);
    const int sub = config ? SubscriptionConfigMsg(keyId, configType) : SubscriptionMcuMsg(keyId, msgType);
    const int unsub = config ? UnSubscriptionConfigMsg(keyId, configType) : UnSubscriptionMcuMsg(keyId, msgType);
    return (sub == 0 ? 1 : 0) + (unsub == 0 ? 1 : 0);
}

int get(bool mcu, int keyId, void *buffer, int timeout) {
    if (mcu) return GetMcuMsg(keyId, static_cast<McuMsg *>(buffer), timeout);
    return GetConfigMsg(keyId, static_cast<ConfigMsg *>(buffer), timeout);
}

class QueueChannels : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string refused = tbox::test::private_ipc_namespace();
        if (!refused.empty()) GTEST_SKIP() << refused;
        mcu_ = msgget(1, IPC_CREAT | 0666);
        config_ = msgget(2, IPC_CREAT | 0666);
    }
    tbox::test::LogCapture log_;  // keeps the lines out of syslog
    int mcu_ = -1, config_ = -1;
};

// Receives the largest text into a buffer of exactly the documented size, then refuses one byte more.
void check_largest(bool mcu, int keyId, size_t bufferSize, int largest) {
    const int queue = msgget(keyId, 0);
    std::vector<unsigned char> buffer(bufferSize + 64, 0xEE);
    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(largest, 0x11)), 0);
    EXPECT_EQ(get(mcu, keyId, buffer.data(), 0), largest);
    EXPECT_EQ(Bytes(buffer.begin() + bufferSize, buffer.end()), Bytes(64, 0xEE)) << largest;
    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(largest + 1, 1)), 0);
    EXPECT_EQ(get(mcu, keyId, buffer.data(), -1), -1);
    EXPECT_EQ(get(mcu, keyId, buffer.data(), 0), -1);
    EXPECT_EQ(take(queue, 0).size(), size_t(largest + 1)) << "left at the head";
}

TEST_F(QueueChannels, SendsAndSubscriptionsQueueExactMessagesAfterInitWithinTheLimitsAndNeverBlock) {
    for (key_t key : {3, 1234}) ASSERT_NE(msgget(key, IPC_CREAT | 0666), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 1, 0, "x"), -1);  // before init
    EXPECT_EQ(SubscriptionMcuMsg(1234, 0x0201), -1);
    EXPECT_EQ(SubscriptionConfigMsg(1234, CONFIG_TYPE_FIRST), -1);
    const uint32_t own = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), int(own));
    const Bytes payload{0xAA, 0xBB, 0xCC}, big(5121, 0x5A);
    ASSERT_EQ(SendMcuMsg(0x0201, 3, 0x05, payload.data()), 0);
    EXPECT_EQ(take(mcu_, 0x0201), (Bytes{0x01, 0x02, 0x00, 0x00, 0x03, 0x00, 0x85, 0x00, 0xAA, 0xBB, 0xCC}));
    ASSERT_EQ(SubscriptionMcuMsg(1234, 0x0201), 0);
    EXPECT_EQ(take(mcu_, MCU_CTRL_SUBSCRIBE), (Bytes{0x01, 0x02, 0, 0, 0xD2, 0x04, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(SubscriptionConfigMsg(1234, CONFIG_TYPE_FIRST), 0);
    EXPECT_EQ(take(config_, CONFIG_CTRL_SUBSCRIBE).size(), 12u);
    // Lines name the function and the source they always have: the helpers' old names, the channel's file.
    const std::string keyId = std::to_string(own);
    EXPECT_TRUE(log_.has_from("mcu_api.cpp", "InitMcuMsg:End,InitMcuMsg Success,keyId[" + keyId + "]\n"));
    EXPECT_TRUE(log_.has_from("mcu_api.cpp", "SendCtrlMsgToMcu:Start --type[1]\n"));
    EXPECT_TRUE(log_.has_from("mcu_api.cpp", "SendMcuMsg:type[0x0201]-len[3]-subCmd[5]\n"));
    EXPECT_TRUE(log_.has_from("upgrade_api.cpp",
                              "InitUpgradeConfigClient:End,InitUpgradeConfigClient Success,keyId[" + keyId + "]\n"));
    EXPECT_TRUE(log_.has_from("upgrade_api.cpp", "SendCtrlMsgToUpgrade:Start --type[1]\n"));
    EXPECT_TRUE(log_.has_from("upgrade_api.cpp", tbox::test::kept::kConfigNotOpen));

    // Each limit: the last value accepted, the first refused.
    EXPECT_EQ(SendMcuMsg(0x3FFE, 5120, 0, big.data()), 0);
    EXPECT_EQ(SendMcuMsg(0x3FFF, 1, 0, big.data()), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 5121, 0, big.data()), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 0, 0, big.data()), 0);
    EXPECT_EQ(SendMcuMsg(0x0201, -1, 0, big.data()), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 0, 0, nullptr), -1);
    EXPECT_EQ(subscribe_both(false, 1, 0x0201), 0);
    EXPECT_EQ(subscribe_both(false, 2, 0x0201), 2);
    EXPECT_EQ(subscribe_both(false, own, 0x0100), 0);
    EXPECT_EQ(subscribe_both(false, own, 0x0101), 2);
    EXPECT_EQ(subscribe_both(false, own, 0x3FFE), 2);
    EXPECT_EQ(subscribe_both(false, own, 0x3FFF), 0);
    EXPECT_EQ(queued(mcu_), 2u + 6u);  // nothing from the refused calls, before or after init
    EXPECT_EQ(subscribe_both(true, 2, CONFIG_TYPE_FIRST), 0);
    EXPECT_EQ(subscribe_both(true, 3, CONFIG_TYPE_FIRST), 2);
    EXPECT_EQ(subscribe_both(true, own, CONFIG_TYPE_FIRST - 1), 0);
    EXPECT_EQ(subscribe_both(true, own, CONFIG_TYPE_LAST), 2);
    EXPECT_EQ(subscribe_both(true, own, CONFIG_TYPE_LAST + 1), 0);
    EXPECT_EQ(queued(config_), 4u);  // nothing from the refused calls, before or after init

    for (size_t size : {1000u, 100u, 10u, 1u}) {
        while (raw_send(mcu_, 99, Bytes(size)) == 0) continue;
    }
    const size_t full = queued(mcu_);
    alarm(5);  // a send that blocks ends the test here
    EXPECT_EQ(SendMcuMsg(0x0201, 0, 0, "x"), -1);
    EXPECT_EQ(SubscriptionMcuMsg(1234, 0x0201), -1);
    alarm(0);
    EXPECT_EQ(queued(mcu_), full);
}

TEST_F(QueueChannels, ReceiveTakesAtMostTheLargestTextAndPollsEvery50msUntilDestroyed) {
    const int keyId = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), keyId);  // one queue per thread for both channels
    check_largest(true, keyId, MCU_MSG_BUFFER_SIZE, MCU_MSG_MAX_TEXT_SIZE);
    check_largest(false, keyId, CONFIG_MSG_BUFFER_SIZE, CONFIG_MSG_MAX_TEXT_SIZE);

    std::vector<unsigned char> buffer(MCU_MSG_BUFFER_SIZE, 0xEE);
    // A record cut inside its length field logs no length, not what the caller's buffer held before.
    for (bool mcu : {true, false}) {
        ASSERT_EQ(raw_send(msgget(keyId, 0), 0x0201, Bytes{0x01, 0x02, 0x00, 0x00, 0x07}), 0);
        EXPECT_EQ(get(mcu, keyId, buffer.data(), 0), 5);
        EXPECT_TRUE(log_.contains(mcu ? "recv [5] OK,MsgType[0x0201],MsgLen[0],MsgSubCmd[0]\n"
                                      : "recv [5] OK,MsgType[0x0201],MsgLen[0]\n"))
            << mcu;
    }

    // On an empty queue: a first attempt, then one every 50 ms; MCU timeouts count seconds, configuration ones ms.
    g_countedQueue = msgget(keyId, 0);
    EXPECT_EQ(get(true, keyId, buffer.data(), 0), -12);
    EXPECT_EQ(g_polls.exchange(0), 1);
    EXPECT_EQ(get(false, keyId, buffer.data(), 49), -12);
    EXPECT_EQ(g_polls.exchange(0), 1);
    EXPECT_EQ(get(false, keyId, buffer.data(), 100), -12);
    EXPECT_EQ(g_polls.exchange(0), 3);

    // timeout x 1000 must fit the millisecond count; a second message makes a failed refusal visible.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(raw_send(g_countedQueue, 0x0201, Bytes(8)), 0);
    EXPECT_EQ(get(true, keyId, buffer.data(), 2147484), -1);
    EXPECT_EQ(queued(g_countedQueue), 2u);
    EXPECT_EQ(get(true, keyId, buffer.data(), 2147483), 8);
    EXPECT_EQ(DestroyMcuMsg(keyId), keyId);  // with a message still in the queue
    EXPECT_EQ(msgget(keyId, 0), -1);
    for (int refused : {0, -1}) EXPECT_EQ(DestroyMcuMsg(refused), -1) << refused;
    EXPECT_TRUE(log_.has("DestroyMcuMsg Error:keyId <= 0\n"));
    // Key 0 is IPC_PRIVATE: a receive on it must not create a queue each time it is called.
    msqid_ds none{};
    const int before = msgctl(0, MSG_INFO, &none);
    for (bool mcu : {true, false}) EXPECT_EQ(get(mcu, 0, buffer.data(), 0), -1);
    EXPECT_EQ(msgctl(0, MSG_INFO, &none), before) << "queues were created";
}

// The receive may remember queue identifiers, but must always read the queue that has the key now:
// after DestroyMcuMsg, after a re-creation (by the library or behind its back), and for other threads' keyIds.
TEST_F(QueueChannels, ReceiveReadsTheQueueThatHasTheKeyNow) {
    const int own = InitMcuMsg();
    int other = -1;
    std::thread([&other] { other = InitMcuMsg(); }).join();
    ASSERT_GT(other, 2);
    McuMsg msg{};
    auto next_type = [&msg](bool mcu, int keyId) {
        const int n = get(mcu, keyId, &msg, 0);
        return n == 1 ? msg.mtype : n;
    };
    ASSERT_EQ(raw_send(msgget(own, 0), 0x0201, Bytes(1)), 0);
    ASSERT_EQ(raw_send(msgget(other, 0), 0x0202, Bytes(1)), 0);
    EXPECT_EQ(next_type(true, other), 0x0202);
    EXPECT_EQ(next_type(true, own), 0x0201);

    ASSERT_EQ(DestroyMcuMsg(own), own);
    EXPECT_EQ(next_type(true, own), -1);
    EXPECT_TRUE(log_.contains("Open App keyid[" + std::to_string(own) + "] RecvQueue Error:"));
    ASSERT_EQ(InitMcuMsg(), own);
    ASSERT_EQ(raw_send(msgget(own, 0), 0x0203, Bytes(1)), 0);
    EXPECT_EQ(next_type(true, own), 0x0203);

    // Removed and created again by someone else: the channels share the queue, so both see the new one.
    for (long type : {0x0204, 0x0205}) {
        ASSERT_EQ(msgctl(msgget(own, 0), IPC_RMID, nullptr), 0);
        ASSERT_EQ(raw_send(msgget(own, IPC_CREAT | 0644), type, Bytes(1)), 0);
        EXPECT_EQ(next_type(type == 0x0204, own), type);
    }
    ASSERT_EQ(msgctl(msgget(own, 0), IPC_RMID, nullptr), 0);
    EXPECT_EQ(next_type(true, own), -1);
    EXPECT_EQ(get(true, own, &msg, -1), -1) << "a blocking receive on a removed queue fails, never waits";
    EXPECT_EQ(next_type(true, other), -12);
}

}  // namespace

// Counts the non-blocking receives on g_countedQueue.
extern "C" ssize_t msgrcv(int queue, void *record, size_t size, long type, int flags) {
    static const auto real = reinterpret_cast<ssize_t (*)(int, void *, size_t, long, int)>(dlsym(RTLD_NEXT, "msgrcv"));
    if ((flags & IPC_NOWAIT) != 0 && queue == g_countedQueue && ++g_polls > kPollLimit) {
        errno = EIO;
        return -1;
    }
    return real(queue, record, size, type, flags);
}
