// The MCU (service key 1) and upgrade configuration (key 2) queue channels, each test in a private IPC
// namespace: a service is only its queue, read and filled by the test itself.
#include <dlfcn.h>
#include <sched.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "tbox/mcu.h"
#include "tbox/upgrade_config.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::atomic<int> g_countedQueue{-1};
std::atomic<int> g_polls{0};

int service(key_t key) {
    return msgget(key, IPC_CREAT | 0666);
}

int raw_send(int queue, long mtype, const Bytes &text) {
    std::vector<unsigned char> buf(sizeof(long) + text.size());
    std::memcpy(buf.data(), &mtype, sizeof mtype);
    std::copy(text.begin(), text.end(), buf.begin() + sizeof(long));
    return msgsnd(queue, buf.data(), text.size(), IPC_NOWAIT);
}

// Empties the queue; returns mtype and text of each message, in order.
std::vector<std::pair<long, Bytes>> take_all(int queue) {
    std::vector<unsigned char> buf(sizeof(long) + 65536);
    std::vector<std::pair<long, Bytes>> got;
    for (ssize_t n; (n = msgrcv(queue, buf.data(), 65536, 0, IPC_NOWAIT)) >= 0;) {
        auto &[mtype, text] = got.emplace_back();
        std::memcpy(&mtype, buf.data(), sizeof(long));
        text.assign(buf.begin() + sizeof(long), buf.begin() + sizeof(long) + n);
    }
    return got;
}

size_t queued(int queue) {
    msqid_ds info{};
    return msgctl(queue, IPC_STAT, &info) == 0 ? info.msg_qnum : 0;
}

class Mcu : public ::testing::Test {
protected:
    void SetUp() override {
        // A namespace belongs to each thread: threads started earlier would stay on the host's queues.
        ASSERT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}), 1);
        if (unshare(CLONE_NEWIPC) == 0) return;
        if (errno == EPERM) GTEST_SKIP() << "a private IPC namespace needs CAP_SYS_ADMIN";
        FAIL() << "unshare(CLONE_NEWIPC): " << std::strerror(errno);
    }
    tbox::test::LogCapture log_;  // keeps the lines out of syslog
    std::unique_ptr<McuMsg> msg_ = std::make_unique<McuMsg>();
};

using Subscribe = int (*)(uint32_t, uint32_t);
int config_sub(uint32_t keyId, uint32_t type) {
    return SubscriptionConfigMsg(keyId, ConfigType(type));
}
int config_unsub(uint32_t keyId, uint32_t type) {
    return UnSubscriptionConfigMsg(keyId, ConfigType(type));
}

TEST_F(Mcu, SendsBeforeInitFailAndInitSharesOneQueuePerThreadUntilDestroyed) {
    const int mcu = service(1), config = service(2);
    ASSERT_NE(service(1234), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 1, 0, "x"), -1);
    EXPECT_EQ(SubscriptionMcuMsg(1234, 0x0201), -1);
    EXPECT_EQ(SubscriptionConfigMsg(1234, CONFIG_TYPE_FIRST), -1);
    EXPECT_EQ(queued(mcu) + queued(config), 0u);

    const int keyId = InitMcuMsg();
    ASSERT_EQ(keyId, syscall(SYS_gettid));
    ASSERT_EQ(InitUpgradeConfigClient(), keyId);
    const int queue = msgget(keyId, 0);
    ASSERT_EQ(raw_send(queue, 7, Bytes(8)), 0);
    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(9)), 0);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 0), 8);
    auto configMsg = std::make_unique<ConfigMsg>();
    EXPECT_EQ(GetConfigMsg(keyId, configMsg.get(), 0), 9);

    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(8)), 0);
    EXPECT_EQ(DestroyMcuMsg(keyId), keyId);
    EXPECT_EQ(msgget(keyId, 0), -1);
    EXPECT_EQ(DestroyMcuMsg(0), -1);  // key 0 would name a fresh private queue
}

TEST_F(Mcu, SendPutsExactDataMessagesWithinTheLimits) {
    const int mcu = service(1);
    ASSERT_GT(InitMcuMsg(), 0);
    const Bytes payload{0xAA, 0xBB, 0xCC}, big(5121, 0x5A);
    ASSERT_EQ(SendMcuMsg(0x0201, 3, 0x05, payload.data()), 0);
    const auto got = take_all(mcu);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, 0x0201);
    EXPECT_EQ(got[0].second, (Bytes{0x01, 0x02, 0x00, 0x00, 0x03, 0x00, 0x85, 0x00, 0xAA, 0xBB, 0xCC}));

    const std::tuple<uint32_t, int16_t, const uint8_t *, bool> cases[] = {
        // type, len, data, accepted
        {0x3FFE, 5120, big.data(), true}, {0x0201, 5121, big.data(), false}, {0x0201, -1, big.data(), false},
        {0x0201, 0, nullptr, false},      {0x3FFF, 1, big.data(), false},    {0xFFFFFFFF, 1, big.data(), false},
        {0x0201, 0, big.data(), true},
    };
    for (const auto &[type, len, data, accepted] : cases) {
        EXPECT_EQ(SendMcuMsg(type, len, 0, data), accepted ? 0 : -1) << type << "/" << len;
        EXPECT_EQ(take_all(mcu).size(), accepted ? 1u : 0u) << type << "/" << len;
    }
}

TEST_F(Mcu, SubscriptionsPutExactControlMessagesWithinTheLimitsOfEachChannel) {
    const int mcu = service(1), config = service(2);
    const uint32_t own = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), int(own));
    for (key_t key : {3, 1234, -1}) service(key);  // keyId 0xFFFFFFFF is key -1
    ASSERT_EQ(SubscriptionMcuMsg(1234, 0x0201), 0);
    ASSERT_EQ(UnSubscriptionMcuMsg(1234, 0x0201), 0);
    const Bytes text{0x01, 0x02, 0x00, 0x00, 0xD2, 0x04, 0x00, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(take_all(mcu), (std::vector<std::pair<long, Bytes>>{{1, text}, {2, text}}));

    const std::tuple<Subscribe, Subscribe, int, uint32_t, uint32_t, bool> cases[] = {
        // subscribe, unsubscribe, service queue, keyId, msgType, accepted
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, 1, 0x0201, false},
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, 2, 0x0201, true},
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, 0xFFFFFFFF, 0x0201, true},  // compared unsigned
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, 5555, 0x0201, false},       // no such queue
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, own, 0x0100, false},
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, own, 0x0101, true},
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, own, 0x3FFE, true},
        {SubscriptionMcuMsg, UnSubscriptionMcuMsg, mcu, own, 0x3FFF, false},
        {config_sub, config_unsub, config, 2, 3, false},
        {config_sub, config_unsub, config, 3, 3, true},
        {config_sub, config_unsub, config, own, 2, false},
        {config_sub, config_unsub, config, own, 0x3FFE, true},
        {config_sub, config_unsub, config, own, 0x3FFF, false},
        {config_sub, config_unsub, config, own, 0xFFFFFFFF, false},  // negative ConfigType
    };
    for (const auto &[sub, unsub, queue, keyId, msgType, accepted] : cases) {
        EXPECT_EQ(sub(keyId, msgType), accepted ? 0 : -1) << keyId << "/" << msgType;
        EXPECT_EQ(unsub(keyId, msgType), accepted ? 0 : -1) << keyId << "/" << msgType;
        EXPECT_EQ(take_all(queue).size(), accepted ? 2u : 0u) << keyId << "/" << msgType;
    }
}

TEST_F(Mcu, SendsToAFullServiceQueueFailAtOnce) {
    const int mcu = service(1);
    const int keyId = InitMcuMsg();
    for (size_t size : {1000u, 100u, 10u, 1u}) {
        while (raw_send(mcu, 99, Bytes(size)) == 0) {
        }
    }
    const size_t before = queued(mcu);
    alarm(5);  // a send that blocks ends the test here
    EXPECT_EQ(SendMcuMsg(0x0201, 0, 0, "x"), -1);
    EXPECT_EQ(SubscriptionMcuMsg(keyId, 0x0201), -1);
    alarm(0);
    EXPECT_EQ(queued(mcu), before);
}

TEST_F(Mcu, ReceiveWritesAtMostTheLargestTextAndLeavesLongerMessagesAtTheHead) {
    service(1);
    service(2);
    const int keyId = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), keyId);
    const int queue = msgget(keyId, 0);
    const std::tuple<bool, size_t, int> cases[] = {{true, MCU_MSG_BUFFER_SIZE, MCU_MSG_MAX_TEXT_SIZE},
                                                   {false, CONFIG_MSG_BUFFER_SIZE, CONFIG_MSG_MAX_TEXT_SIZE}};
    for (const auto &[isMcu, bufferSize, largest] : cases) {
        const auto get = [isMcu = isMcu](int k, void *buf, int timeout) {
            return isMcu ? GetMcuMsg(k, static_cast<McuMsg *>(buf), timeout)
                         : GetConfigMsg(k, static_cast<ConfigMsg *>(buf), timeout);
        };
        ASSERT_EQ(raw_send(queue, 0x0201, Bytes(largest, 0x11)), 0);
        std::vector<unsigned char> buffer(bufferSize + 64, 0xEE);
        EXPECT_EQ(get(keyId, buffer.data(), 0), largest);
        EXPECT_EQ(Bytes(buffer.begin() + bufferSize, buffer.end()), Bytes(64, 0xEE)) << largest;

        ASSERT_EQ(raw_send(queue, 0x0201, Bytes(largest + 1, 1)), 0);
        EXPECT_EQ(get(keyId, buffer.data(), -1), -1);
        EXPECT_EQ(get(keyId, buffer.data(), 0), -1);
        const auto left = take_all(queue);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].second.size(), size_t(largest + 1));
    }
}

TEST_F(Mcu, ReceivePollsOnceThenEvery50msAndRefusesOverflowingTimeouts) {
    service(1);
    service(2);
    const int keyId = InitMcuMsg();
    ASSERT_EQ(InitUpgradeConfigClient(), keyId);
    g_countedQueue = msgget(keyId, 0);
    auto configMsg = std::make_unique<ConfigMsg>();
    // MCU timeouts are in seconds, configuration timeouts in milliseconds.
    const std::tuple<bool, int, int> cases[] = {{true, 0, 1}, {false, 0, 1}, {false, 49, 1}, {false, 100, 3}};
    for (const auto &[isMcu, timeout, attempts] : cases) {
        g_polls = 0;
        EXPECT_EQ(isMcu ? GetMcuMsg(keyId, msg_.get(), timeout) : GetConfigMsg(keyId, configMsg.get(), timeout), -12);
        EXPECT_EQ(g_polls, attempts) << (isMcu ? "mcu " : "config ") << timeout;
    }
    // timeout x 1000 must fit the millisecond count. Two messages, so that the largest valid timeout
    // returns at once even if the refusal fails.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(raw_send(g_countedQueue, 0x0201, Bytes(8)), 0);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 2147484), -1);
    EXPECT_EQ(queued(g_countedQueue), 2u);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 2147483), 8);
}

}  // namespace

// Counts the non-blocking receives on g_countedQueue.
extern "C" ssize_t msgrcv(int queue, void *record, size_t size, long type, int flags) {
    using Real = ssize_t (*)(int, void *, size_t, long, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "msgrcv"));
    if ((flags & IPC_NOWAIT) != 0 && queue == g_countedQueue) ++g_polls;
    return real(queue, record, size, type, flags);
}
