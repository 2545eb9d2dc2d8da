// MCU message channel against a fake MCU message service, each test in a private IPC namespace.
#include "tbox/mcu.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_queue_service.h"
#include "support/ipc_namespace.h"
#include "support/log_capture.h"

using namespace std::chrono_literals;
using tbox::test::Bytes;
using tbox::test::FakeQueueService;
using tbox::test::PollCounter;
using tbox::test::queued;
using tbox::test::QueueRecord;
using tbox::test::raw_send;
using tbox::test::raw_take;

namespace {

constexpr key_t kServiceKey = 1;
const Bytes kPayload{0xAA, 0xBB, 0xCC};

int app_queue(int keyId) {
    return msgget(keyId, 0);
}
int make_queue(key_t key) {
    return msgget(key, IPC_CREAT | 0644);
}
int thread_id() {
    return static_cast<int>(syscall(SYS_gettid));
}

// Fills `queue` until not one more byte fits.
void fill(int queue) {
    for (size_t size : {1000u, 100u, 10u, 1u}) {
        while (raw_send(queue, 99, Bytes(size)) == 0) {
        }
    }
}

// Runs a call that must not block; a blocked call is released by removing `queue`.
int promptly(int queue, const std::function<int()> &call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(5s) != std::future_status::ready) {
        msgctl(queue, IPC_RMID, nullptr);
        ADD_FAILURE() << "the call blocked on a full queue";
    }
    return result.get();
}

class Mcu : public ::testing::Test {
protected:
    void SetUp() override { TBOX_ENTER_PRIVATE_IPC_NAMESPACE(); }
    std::unique_ptr<McuMsg> msg_ = std::make_unique<McuMsg>();
    tbox::test::LogCapture log_;
};

using McuInit = Mcu;
using McuSend = Mcu;
using McuSubscribe = Mcu;
using McuReceive = Mcu;

// --- initialisation and removal -----------------------------------------------------------------

TEST_F(McuInit, ReturnsTheThreadIdAndReusesTheQueueOnASecondCall) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    EXPECT_EQ(keyId, thread_id());
    EXPECT_TRUE(log_.has("InitMcuMsg:Start\n"));
    EXPECT_TRUE(log_.has("InitMcuMsg:End,InitMcuMsg Success,keyId[" + std::to_string(keyId) + "]\n"));
    ASSERT_EQ(raw_send(app_queue(keyId), 0x0201, Bytes{1}), 0);
    EXPECT_EQ(InitMcuMsg(), keyId);
    EXPECT_EQ(queued(app_queue(keyId)), 1u);
}

TEST_F(McuInit, FailsUntilTheServiceQueueExistsAndCreatesNoQueueMeanwhile) {
    EXPECT_EQ(InitMcuMsg(), -1);
    EXPECT_TRUE(log_.has("Open Mcu RecvQueue Error:[No such file or directory]\n"));
    EXPECT_EQ(app_queue(thread_id()), -1);
    EXPECT_EQ(SendMcuMsg(0x0201, 3, 0, kPayload.data()), -1);
    FakeQueueService service(kServiceKey);
    EXPECT_EQ(InitMcuMsg(), thread_id());
    EXPECT_EQ(SendMcuMsg(0x0201, 3, 0, kPayload.data()), 0);
}

// In a PID namespace the first process has thread id 1 and its first thread id 2: the keys of the
// service queues, which must never become an application's queue.
TEST_F(McuInit, RefusesThreadIdsThatAreServiceQueueKeys) {
    FakeQueueService service(kServiceKey, FakeQueueService::Mode::kIdle);
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
    EXPECT_EQ(msgget(2, 0), -1);  // no queue was created under a service key
}

TEST_F(McuInit, DestroyRemovesTheQueueWithItsMessagesAndKeepsTheServiceQueue) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    ASSERT_EQ(raw_send(app_queue(keyId), 0x0201, Bytes{1, 2}), 0);
    ASSERT_EQ(raw_send(app_queue(keyId), 0x0202, Bytes{3}), 0);
    EXPECT_EQ(DestroyMcuMsg(keyId), keyId);
    EXPECT_EQ(app_queue(keyId), -1);
    EXPECT_TRUE(log_.has("DestroyMcuMsg:End,DestroyMcuMsg Success,keyId[" + std::to_string(keyId) + "]\n"));
    EXPECT_EQ(service.received().size(), 0u);  // no unsubscribe is sent
    EXPECT_EQ(SendMcuMsg(0x0201, 3, 0, kPayload.data()), 0);
}

TEST_F(McuInit, DestroyRefusesKeysWithoutQueue) {
    EXPECT_EQ(DestroyMcuMsg(0), -1);
    EXPECT_EQ(DestroyMcuMsg(-7), -1);
    EXPECT_TRUE(log_.has("DestroyMcuMsg Error:keyId <= 0\n"));
    EXPECT_EQ(DestroyMcuMsg(4242), -1);
    EXPECT_TRUE(log_.has("msgget[4242] Error:[No such file or directory]\n"));
}

// --- data messages to the MCU ----------------------------------------------------------------------

TEST_F(McuSend, PutsTheDocumentedBytesOnTheServiceQueue) {
    FakeQueueService service(kServiceKey);
    ASSERT_GT(InitMcuMsg(), 0);
    ASSERT_EQ(SendMcuMsg(0x0201, 3, 0x05, kPayload.data()), 0);
    const auto got = service.wait_for(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].mtype, 0x201);
    EXPECT_EQ(got[0].text, (Bytes{0x01, 0x02, 0x00, 0x00, 0x03, 0x00, 0x85, 0x00, 0xAA, 0xBB, 0xCC}));
    EXPECT_TRUE(log_.has("SendMcuMsg:type[0x0201]-len[3]-subCmd[5]\n"));
    EXPECT_TRUE(log_.has("SendMcuMsg:ret[0]-type[0x0201]-len[3]-subCmd[5]\n"));
}

TEST_F(McuSend, AlwaysSetsBit7OfTheSubCommand) {
    FakeQueueService service(kServiceKey);
    ASSERT_GT(InitMcuMsg(), 0);
    const std::pair<uint8_t, uint8_t> cases[] = {{0x05, 0x85}, {0x85, 0x85}, {0x00, 0x80}, {0x7F, 0xFF}, {0xFF, 0xFF}};
    for (const auto &[given, sent] : cases) ASSERT_EQ(SendMcuMsg(0x0201, 0, given, kPayload.data()), 0);
    const auto got = service.wait_for(std::size(cases));
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].text, (Bytes{0x01, 0x02, 0, 0, 0, 0, cases[i].second, 0})) << "subCmd " << int(cases[i].first);
    }
}

TEST_F(McuSend, AcceptsExactlyTheDocumentedTypesAndLengths) {
    FakeQueueService service(kServiceKey);
    ASSERT_GT(InitMcuMsg(), 0);
    const Bytes big(5121, 0x5A);
    struct Case {
        uint32_t type;
        int16_t len;
        const void *data;
        const char *refusal;  // nullptr: sent with text size len + 8
    } cases[] = {
        {0x0201, 5120, big.data(), nullptr},
        {0x0201, 5121, big.data(), "Len is invalid\n"},
        {0x0201, -1, big.data(), "Len is invalid\n"},
        {0x0201, 0, big.data(), nullptr},
        {0x0201, 0, nullptr, "SendData is NULL\n"},
        {0x3FFE, 1, big.data(), nullptr},
        {0x3FFF, 1, big.data(), "type [0x3fff] over Max limit\n"},
        {0xFFFFFFFF, 1, big.data(), "type [0xffffffff] over Max limit\n"},
        {0, 1, big.data(), "SendMcuMsg:ret[-1]-type[0x0000]-len[1]-subCmd[0]\n"},  // the kernel refuses type 0
    };
    std::vector<size_t> sent;
    for (const auto &c : cases) {
        EXPECT_EQ(SendMcuMsg(c.type, c.len, 0, c.data), c.refusal ? -1 : 0) << c.type << "/" << c.len;
        if (c.refusal) {
            EXPECT_TRUE(log_.has(c.refusal)) << c.refusal;
        }
        if (!c.refusal) sent.push_back(static_cast<size_t>(c.len) + 8);
    }
    const auto got = service.wait_for(sent.size());
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i].text.size(), sent[i]);
    EXPECT_EQ(Bytes(got[0].text.begin() + 8, got[0].text.end()), Bytes(big.begin(), big.end() - 1));
    EXPECT_EQ(got[2].mtype, 0x3FFE);
}

TEST_F(McuSend, NothingIsSentBeforeInitialisation) {
    FakeQueueService service(kServiceKey, FakeQueueService::Mode::kIdle);
    make_queue(1234);
    EXPECT_EQ(SendMcuMsg(0x0201, 3, 0, kPayload.data()), -1);
    EXPECT_EQ(SubscriptionMcuMsg(1234, 0x0201), -1);
    EXPECT_EQ(UnSubscriptionMcuMsg(1234, 0x0201), -1);
    size_t refusals = 0;
    for (const auto &m : log_.messages()) refusals += m == "Mcu RecvQueue not Open,Please Call Init\n";
    EXPECT_EQ(refusals, 3u);
    EXPECT_EQ(queued(service.queue()), 0u);
}

TEST_F(McuSend, AFullServiceQueueFailsAtOnce) {
    FakeQueueService service(kServiceKey, FakeQueueService::Mode::kIdle);
    const int keyId = InitMcuMsg();
    fill(service.queue());
    const size_t before = queued(service.queue());
    EXPECT_EQ(promptly(service.queue(), [&] { return SendMcuMsg(0x0201, 0, 0, kPayload.data()); }), -1);
    EXPECT_EQ(promptly(service.queue(), [&] { return SubscriptionMcuMsg(keyId, 0x0201); }), -1);
    EXPECT_TRUE(log_.has("SendCtrlMsgToMcu:ret[-1],ctrlType[1],msgType[0201],keyId[" + std::to_string(keyId) + "]\n"));
    EXPECT_EQ(queued(service.queue()), before);
}

// --- subscriptions -----------------------------------------------------------------------------------

TEST_F(McuSubscribe, SendsTheDocumentedControlBytes) {
    FakeQueueService service(kServiceKey);
    ASSERT_GT(InitMcuMsg(), 0);
    make_queue(1234);
    ASSERT_EQ(SubscriptionMcuMsg(1234, 0x0201), 0);
    ASSERT_EQ(UnSubscriptionMcuMsg(1234, 0x0201), 0);
    const auto got = service.wait_for(2);
    ASSERT_EQ(got.size(), 2u);
    const Bytes text{0x01, 0x02, 0x00, 0x00, 0xD2, 0x04, 0x00, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(got[0].mtype, 1);
    EXPECT_EQ(got[0].text, text);
    EXPECT_EQ(got[1].mtype, 2);
    EXPECT_EQ(got[1].text, text);
    EXPECT_TRUE(log_.has("SendCtrlMsgToMcu:Start --type[1]\n"));
    EXPECT_TRUE(log_.has("SendCtrlMsgToMcu:ret[0],ctrlType[2],msgType[0201],keyId[1234]\n"));
}

TEST_F(McuSubscribe, AcceptsExactlyTheDocumentedKeysAndTypes) {
    FakeQueueService service(kServiceKey, FakeQueueService::Mode::kIdle);
    const int own = InitMcuMsg();
    make_queue(2);
    make_queue(-1);  // keyId 0xFFFFFFFF compares as unsigned and passes
    const std::string k = std::to_string(own);
    struct Case {
        uint32_t keyId;
        uint32_t msgType;
        std::string refusal;
    } cases[] = {
        {0, 0x0201, "Wrong keyid[0]\n"},
        {1, 0x0201, "Wrong keyid[1]\n"},
        {2, 0x0201, ""},
        {0xFFFFFFFF, 0x0201, ""},
        {5555, 0x0201, "Open App keyid[5555] RecvQueue Error,Please Call Init:[No such file or directory]\n"},
        {uint32_t(own), 0x0100, "keyId[" + k + "] MsgType[256] over max limit,Please Check\n"},
        {uint32_t(own), 0x0101, ""},
        {uint32_t(own), 0x3FFE, ""},
        {uint32_t(own), 0x3FFF, "keyId[" + k + "] MsgType[16383] over max limit,Please Check\n"},
        {uint32_t(own), 0xFFFFFFFF, "keyId[" + k + "] MsgType[-1] over max limit,Please Check\n"},
    };
    size_t accepted = 0;
    for (const auto &c : cases) {
        const bool ok = c.refusal.empty();
        EXPECT_EQ(SubscriptionMcuMsg(c.keyId, c.msgType), ok ? 0 : -1) << c.keyId << "/" << c.msgType;
        EXPECT_EQ(UnSubscriptionMcuMsg(c.keyId, c.msgType), ok ? 0 : -1) << c.keyId << "/" << c.msgType;
        if (!ok) {
            EXPECT_TRUE(log_.has(c.refusal)) << c.refusal;
        }
        accepted += ok ? 2 : 0;
    }
    EXPECT_EQ(queued(service.queue()), accepted);
}

// --- receiving -----------------------------------------------------------------------------------------

TEST_F(McuReceive, TakesSubscribedMessagesInQueueOrderWhateverTheirType) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    ASSERT_EQ(SubscriptionMcuMsg(keyId, 0x0201), 0);
    ASSERT_EQ(SubscriptionMcuMsg(keyId, 0x0305), 0);
    service.wait_for(2);
    ASSERT_EQ(service.deliver(0x0305, tbox::test::mcu_text(0x0305, 0x81, {7})), 1);
    ASSERT_EQ(service.deliver(0x0201, tbox::test::mcu_text(0x0201, 0x85, kPayload)), 1);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), -1), 9);
    EXPECT_EQ(msg_->mtype, 0x0305);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 0), 11);
    EXPECT_EQ(msg_->mtype, 0x0201);
    EXPECT_EQ(msg_->type, 0x0201u);
    EXPECT_EQ(msg_->len, 3);
    EXPECT_EQ(msg_->subCmd, 0x85);
    EXPECT_EQ(Bytes(msg_->data, msg_->data + 3), kPayload);
    const std::string k = std::to_string(keyId);
    EXPECT_TRUE(log_.has(" APP GetData key[" + k + "],recv [9] OK,MsgType[0x0305],MsgLen[1],MsgSubCmd[129]\n"));
    EXPECT_TRUE(log_.has(" APP GetData key[" + k + "],recv [11] OK,MsgType[0x0201],MsgLen[3],MsgSubCmd[133]\n"));
    ASSERT_EQ(UnSubscriptionMcuMsg(keyId, 0x0305), 0);
    service.wait_for(3);
    EXPECT_EQ(service.deliver(0x0305, tbox::test::mcu_text(0x0305, 0, {})), 0);
}

TEST_F(McuReceive, PollsOnceAndThenTwentyTimesASecond) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    const auto timed = [&](int timeout, int *attempts) {
        PollCounter counter(app_queue(keyId));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), timeout), -12) << "timeout " << timeout;
        *attempts = counter.attempts();
        return std::chrono::steady_clock::now() - start;
    };
    int attempts = 0;
    EXPECT_GE(timed(0, &attempts), 50ms);
    EXPECT_EQ(attempts, 1);
    EXPECT_GE(timed(1, &attempts), 1050ms);
    EXPECT_EQ(attempts, 21);
    std::thread late([&] {
        std::this_thread::sleep_for(200ms);
        raw_send(app_queue(keyId), 0x0201, tbox::test::mcu_text(0x0201, 0x80, {}));
    });
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 5), 8);
    late.join();
}

TEST_F(McuReceive, RefusesTimeoutsWhoseMillisecondsOverflow) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    // Two messages, so that the largest valid timeout returns at once even if the refusal fails.
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(raw_send(app_queue(keyId), 0x0201, tbox::test::mcu_text(0x0201, 0, kPayload)), 0);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 2147484), -1);
    EXPECT_TRUE(log_.has("GetMcuMsg:timeout[2147484] over max limit[2147483]\n"));
    EXPECT_EQ(queued(app_queue(keyId)), 2u);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 2147483), 11);
}

TEST_F(McuReceive, LeavesAnOversizeMessageAtTheHead) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    const int queue = app_queue(keyId);
    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(5133, 1)), 0);
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), -1), -1);
    EXPECT_TRUE(log_.has(" APP GetData key[" + std::to_string(keyId) + "],recv error[7-Argument list too long]\n"));
    const size_t lines = log_.size();
    EXPECT_EQ(GetMcuMsg(keyId, msg_.get(), 0), -1);
    EXPECT_EQ(log_.size(), lines);  // polling fails silently
    QueueRecord head;
    ASSERT_TRUE(raw_take(queue, &head));
    EXPECT_EQ(head.text.size(), 5133u);
}

TEST_F(McuReceive, WritesNoMoreThanTheLargestTextAndReportsOnlyReceivedFields) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    const int queue = app_queue(keyId);
    ASSERT_EQ(raw_send(queue, 0x0201, Bytes(5132, 0x11)), 0);
    std::vector<unsigned char> buffer(MCU_MSG_BUFFER_SIZE + 64, 0xEE);
    EXPECT_EQ(GetMcuMsg(keyId, reinterpret_cast<McuMsg *>(buffer.data()), 0), 5132);
    EXPECT_EQ(Bytes(buffer.begin() + MCU_MSG_BUFFER_SIZE, buffer.end()), Bytes(64, 0xEE));
    // A 2-byte message carries no len or subCmd: what the buffer held before is not reported.
    ASSERT_EQ(raw_send(queue, 0x0202, Bytes{9, 9}), 0);
    EXPECT_EQ(GetMcuMsg(keyId, reinterpret_cast<McuMsg *>(buffer.data()), 0), 2);
    EXPECT_TRUE(log_.has(" APP GetData key[" + std::to_string(keyId) +
                         "],recv [2] OK,MsgType[0x0202],MsgLen[0],MsgSubCmd[0]\n"));
}

TEST_F(McuReceive, RefusesANullBufferOrAMissingQueue) {
    FakeQueueService service(kServiceKey);
    const int keyId = InitMcuMsg();
    EXPECT_EQ(GetMcuMsg(keyId, nullptr, 0), -1);
    EXPECT_TRUE(log_.has("Recv Mcu Msg Buff Is NULL\n"));
    EXPECT_EQ(GetMcuMsg(4242, msg_.get(), 0), -1);
    EXPECT_TRUE(log_.has("Open App keyid[4242] RecvQueue Error:[No such file or directory]\n"));
}

}  // namespace
