// The queue protocol the MCU and configuration channels share, tested through the MCU channel against
// the MCU service's queue (key 1), each test in a private IPC namespace.
#include "tbox/mcu.h"

#include <sched.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "support/fake_queue_service.h"

using namespace std::chrono_literals;
using namespace tbox::test;

namespace {

const Bytes kPayload{0xAA, 0xBB, 0xCC};

// The text of a data message: type, len, subCmd, fill, payload.
Bytes mcu_text(uint32_t type, uint16_t len, uint8_t subCmd, const uint8_t *payload) {
    Bytes text(8 + len);
    std::memcpy(text.data(), &type, 4);
    std::memcpy(text.data() + 4, &len, 2);
    text[6] = subCmd;
    if (len > 0) std::memcpy(text.data() + 8, payload, len);
    return text;
}

class Mcu : public QueueTest {
protected:
    std::unique_ptr<McuMsg> msg_ = std::make_unique<McuMsg>();
};

TEST_F(Mcu, InitNeedsTheServiceQueueSendsBeforeItFailAndDestroyRemovesTheQueue) {
    EXPECT_EQ(InitMcuMsg(), -1);
    EXPECT_TRUE(log_.has("Open Mcu RecvQueue Error:[No such file or directory]\n"));
    EXPECT_EQ(app_queue(thread_id()), -1);
    ServiceQueue service(1);
    ASSERT_NE(msgget(1234, IPC_CREAT | 0644), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 3, 0, kPayload.data()), -1);
    EXPECT_EQ(SubscriptionMcuMsg(1234, 0x0201), -1);
    EXPECT_EQ(UnSubscriptionMcuMsg(1234, 0x0201), -1);
    const auto lines = log_.messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Mcu RecvQueue not Open,Please Call Init\n"), 3);
    EXPECT_EQ(queued(service.id), 0u);

    const int keyId = InitMcuMsg();
    const std::string k = std::to_string(keyId);
    EXPECT_EQ(keyId, thread_id());
    EXPECT_TRUE(log_.has("InitMcuMsg:Start\n"));
    EXPECT_TRUE(log_.has("InitMcuMsg:End,InitMcuMsg Success,keyId[" + k + "]\n"));
    ASSERT_EQ(raw_send(app_queue(keyId), 0x0201, Bytes{1}), 0);
    EXPECT_EQ(InitMcuMsg(), keyId);
    EXPECT_EQ(queued(app_queue(keyId)), 1u);  // the second call keeps the queue and its messages

    EXPECT_EQ(DestroyMcuMsg(keyId), keyId);  // with its messages
    EXPECT_TRUE(log_.has("DestroyMcuMsg:End,DestroyMcuMsg Success,keyId[" + k + "]\n"));
    EXPECT_EQ(app_queue(keyId), -1);
    EXPECT_EQ(DestroyMcuMsg(keyId), -1);
    EXPECT_TRUE(log_.has("msgget[" + k + "] Error:[No such file or directory]\n"));
    EXPECT_EQ(DestroyMcuMsg(0), -1);  // key 0 would name a fresh private queue
    EXPECT_TRUE(log_.has("DestroyMcuMsg Error:keyId <= 0\n"));
    EXPECT_EQ(queued(service.id), 0u);  // no unsubscribe is sent
    EXPECT_EQ(SendMcuMsg(0x0201, 3, 0, kPayload.data()), 0);
}

// In a PID namespace the first process has thread id 1 and its first thread id 2: the keys of the
// service queues, which must never become an application's queue.
TEST_F(Mcu, InitRefusesThreadIdsThatAreServiceQueueKeys) {
    ServiceQueue service(1);
    // The namespace is made in a child, so this process (and its sanitizer's helpers) keep theirs.
    const auto in_child = [](const std::function<int()> &body) {
        const pid_t child = fork();
        if (child == 0) _exit(body());
        int status = -1;
        return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    };
    const int result = in_child([&] {
        if (unshare(CLONE_NEWPID) != 0) return 77;
        return in_child([&] {
            const int asPid1 = InitMcuMsg();
            int asTid2 = 0;
            std::thread([&] { asTid2 = InitMcuMsg(); }).join();
            const bool logged = log_.has("Get keyid error:[thread id 1 is the key of a service queue]\n") &&
                                log_.has("Get keyid error:[thread id 2 is the key of a service queue]\n");
            return asPid1 == -1 && asTid2 == -1 && logged ? 0 : 1;
        });
    });
    if (result == 77) GTEST_SKIP() << "cannot create a PID namespace";
    EXPECT_EQ(result, 0) << "a thread id 1 or 2 was accepted as keyId";
    EXPECT_EQ(app_queue(2), -1);
}

TEST_F(Mcu, SendPutsDataMessagesWithinTheLimitsOnTheServiceQueue) {
    ServiceQueue service(1);
    ASSERT_GT(InitMcuMsg(), 0);
    const Bytes big(5121, 0x5A);
    const uint8_t *p = big.data();
    // type, len, subCmd, data, subCmd sent (bit 7 set), refusal (nullptr: sent)
    const std::tuple<uint32_t, int16_t, uint8_t, const uint8_t *, uint8_t, const char *> cases[] = {
        {0x0201, 0, 0x00, p, 0x80, nullptr},
        {0x0201, 1, 0x7F, p, 0xFF, nullptr},
        {0x0201, 1, 0xFF, p, 0xFF, nullptr},
        {0x3FFE, 5120, 0x85, p, 0x85, nullptr},
        {0x0201, 5121, 0, p, 0, "Len is invalid\n"},
        {0x0201, -1, 0, p, 0, "Len is invalid\n"},
        {0x0201, 0, 0, nullptr, 0, "SendData is NULL\n"},
        {0x3FFF, 1, 0, p, 0, "type [0x3fff] over Max limit\n"},
        {0xFFFFFFFF, 1, 0, p, 0, "type [0xffffffff] over Max limit\n"},
        {0, 1, 0, p, 0, "SendMcuMsg:ret[-1]-type[0x0000]-len[1]-subCmd[0]\n"},  // the kernel refuses mtype 0
    };
    ASSERT_EQ(SendMcuMsg(0x0201, 3, 0x05, kPayload.data()), 0);
    EXPECT_TRUE(log_.has("SendMcuMsg:ret[0]-type[0x0201]-len[3]-subCmd[5]\n"));
    std::vector<QueueRecord> expected{{0x0201, {0x01, 0x02, 0x00, 0x00, 0x03, 0x00, 0x85, 0x00, 0xAA, 0xBB, 0xCC}}};
    for (const auto &[type, len, subCmd, data, sentSubCmd, refusal] : cases) {
        EXPECT_EQ(SendMcuMsg(type, len, subCmd, data), refusal ? -1 : 0) << type << "/" << len;
        EXPECT_TRUE(!refusal || log_.has(refusal)) << type << "/" << len;
        if (!refusal) expected.push_back({long(type), mcu_text(type, uint16_t(len), sentSubCmd, data)});
    }
    const auto got = take_all(service.id);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].mtype, expected[i].mtype) << "message " << i;
        EXPECT_EQ(got[i].text, expected[i].text) << "message " << i;
    }
}

TEST_F(Mcu, SubscriptionsPutControlRecordsWithinTheLimitsOnTheServiceQueue) {
    ServiceQueue service(1);
    const int own = InitMcuMsg();
    for (int key : {1234, 2, -1}) msgget(key, IPC_CREAT | 0644);  // keyId 0xFFFFFFFF compares unsigned
    ASSERT_EQ(SubscriptionMcuMsg(1234, 0x0201), 0);
    ASSERT_EQ(UnSubscriptionMcuMsg(1234, 0x0201), 0);
    EXPECT_TRUE(log_.has("SendCtrlMsgToMcu:ret[0],ctrlType[2],msgType[0201],keyId[1234]\n"));
    const Bytes text{0x01, 0x02, 0x00, 0x00, 0xD2, 0x04, 0x00, 0x00, 0, 0, 0, 0};
    const auto got = take_all(service.id);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].mtype, 1);
    EXPECT_EQ(got[0].text, text);
    EXPECT_EQ(got[1].mtype, 2);
    EXPECT_EQ(got[1].text, text);

    const std::string over = "keyId[" + std::to_string(own) + "] MsgType[";
    const std::tuple<uint32_t, uint32_t, std::string> cases[] = {
        // keyId, msgType, refusal ("": accepted)
        {0, 0x0201, "Wrong keyid[0]\n"},
        {1, 0x0201, "Wrong keyid[1]\n"},
        {2, 0x0201, ""},
        {0xFFFFFFFF, 0x0201, ""},
        {5555, 0x0201, "Open App keyid[5555] RecvQueue Error,Please Call Init:[No such file or directory]\n"},
        {uint32_t(own), 0x0100, over + "256] over max limit,Please Check\n"},
        {uint32_t(own), 0x0101, ""},
        {uint32_t(own), 0x3FFE, ""},
        {uint32_t(own), 0x3FFF, over + "16383] over max limit,Please Check\n"},
        {uint32_t(own), 0xFFFFFFFF, over + "-1] over max limit,Please Check\n"},
    };
    size_t accepted = 0;
    for (const auto &[keyId, msgType, refusal] : cases) {
        const int expected = refusal.empty() ? 0 : -1;
        EXPECT_EQ(SubscriptionMcuMsg(keyId, msgType), expected) << keyId << "/" << msgType;
        EXPECT_EQ(UnSubscriptionMcuMsg(keyId, msgType), expected) << keyId << "/" << msgType;
        EXPECT_TRUE(refusal.empty() || log_.has(refusal)) << refusal;
        accepted += refusal.empty() ? 2 : 0;
    }
    EXPECT_EQ(queued(service.id), accepted);
}

TEST_F(Mcu, SendsToAFullServiceQueueFailAtOnce) {
    ServiceQueue service(1);
    const int keyId = InitMcuMsg();
    for (size_t size : {1000u, 100u, 10u, 1u}) {
        while (raw_send(service.id, 99, Bytes(size)) == 0) {
        }
    }
    const size_t before = queued(service.id);
    alarm(5);  // a send that blocks ends the test here
    EXPECT_EQ(SendMcuMsg(0x0201, 0, 0, kPayload.data()), -1);
    EXPECT_EQ(SubscriptionMcuMsg(keyId, 0x0201), -1);
    alarm(0);
    EXPECT_TRUE(log_.has("SendCtrlMsgToMcu:ret[-1],ctrlType[1],msgType[0201],keyId[" + std::to_string(keyId) + "]\n"));
    EXPECT_EQ(queued(service.id), before);
}

TEST_F(Mcu, ReceiveTakesMessagesInQueueOrderAndReportsOnlyReceivedFields) {
    ServiceQueue service(1);
    const int keyId = InitMcuMsg();
    const int queue = app_queue(keyId);
    const uint8_t seven = 7;
    ASSERT_EQ(raw_send(queue, 0x0305, mcu_text(0x0305, 1, 0x81, &seven)), 0);
    ASSERT_EQ(raw_send(queue, 0x0201, mcu_text(0x0201, 3, 0x85, kPayload.data())), 0);
    ASSERT_EQ(raw_send(queue, 0x0202, Bytes{9, 9}), 0);  // too short to carry len and subCmd
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), -1), 9);
    EXPECT_EQ(msg_->mtype, 0x0305);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 0), 11);
    EXPECT_EQ(msg_->mtype, 0x0201);
    const auto *text = reinterpret_cast<const uint8_t *>(&msg_->type);
    EXPECT_EQ(Bytes(text, text + 11), mcu_text(0x0201, 3, 0x85, kPayload.data()));
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 0), 2);
    const std::string got = " APP GetData key[" + std::to_string(keyId) + "],recv [";
    EXPECT_TRUE(log_.has(got + "9] OK,MsgType[0x0305],MsgLen[1],MsgSubCmd[129]\n"));
    EXPECT_TRUE(log_.has(got + "11] OK,MsgType[0x0201],MsgLen[3],MsgSubCmd[133]\n"));
    EXPECT_TRUE(log_.has(got + "2] OK,MsgType[0x0202],MsgLen[0],MsgSubCmd[0]\n"));  // not the earlier 3 and 133

    EXPECT_EQ(GetMcuMsg(keyId, nullptr, 0), -1);
    EXPECT_TRUE(log_.has("Recv Mcu Msg Buff Is NULL\n"));
    EXPECT_EQ(GetMcuMsg(4242, msg_.get(), 0), -1);
    EXPECT_TRUE(log_.has("Open App keyid[4242] RecvQueue Error:[No such file or directory]\n"));
}

TEST_F(Mcu, ReceiveWritesAtMostTheLargestTextAndLeavesLongerMessagesAtTheHead) {
    ServiceQueue service(1);
    const int keyId = InitMcuMsg();
    const int queue = app_queue(keyId);
    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(5132, 0x11)), 0);
    std::vector<unsigned char> buffer(MCU_MSG_BUFFER_SIZE + 64, 0xEE);
    EXPECT_EQ(GetMcuMsg(keyId, reinterpret_cast<McuMsg *>(buffer.data()), 0), 5132);
    EXPECT_EQ(Bytes(buffer.begin() + MCU_MSG_BUFFER_SIZE, buffer.end()), Bytes(64, 0xEE));

    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(5133, 1)), 0);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), -1), -1);
    EXPECT_TRUE(log_.has(" APP GetData key[" + std::to_string(keyId) + "],recv error[7-Argument list too long]\n"));
    const size_t lines = log_.size();
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 0), -1);
    EXPECT_EQ(log_.size(), lines);  // polling fails silently
    const auto left = take_all(queue);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].text.size(), 5133u);
}

TEST_F(Mcu, ReceivePollsOnceThenTwentyTimesASecondAndRefusesOverflowingTimeouts) {
    ServiceQueue service(1);
    const int keyId = InitMcuMsg();
    const int queue = app_queue(keyId);
    for (const auto &[timeout, attempts] : {std::pair{0, 1}, std::pair{1, 21}}) {
        count_polls(queue);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), timeout), -12) << "timeout " << timeout;
        EXPECT_GE(std::chrono::steady_clock::now() - start, attempts * 50ms);
        EXPECT_EQ(polls(), attempts) << "timeout " << timeout;
    }
    std::thread late([&] {
        std::this_thread::sleep_for(200ms);
        raw_send(queue, 0x0201, mcu_text(0x0201, 0, 0x80, nullptr));
    });
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 5), 8);
    late.join();

    // timeout x 1000 must fit the millisecond count. Two messages, so that the largest valid timeout
    // returns at once even if the refusal fails.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(raw_send(queue, 0x0201, Bytes(8)), 0);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 2147484), -1);
    EXPECT_TRUE(log_.has("GetMcuMsg:timeout[2147484] over max limit[2147483]\n"));
    EXPECT_EQ(queued(queue), 2u);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 2147483), 8);
}

}  // namespace
