#include <sys/msg.h>

#include <atomic>
#include <cstddef>

#include "common/log.h"
#include "common/queue_channel.h"
#include "tbox/mcu.h"

namespace {

namespace queue = tbox::queue;

// Identifier of the MCU service's queue (key 1): -1 until the first successful InitMcuMsg, then kept.
std::atomic<int> g_mcuRecvQueueFd{-1};

constexpr queue::Channel kMcuChannel{
    tbox::log::base_name(__FILE__),
    /*serviceKey=*/1,
    &g_mcuRecvQueueFd,
    /*logsInitStart=*/true,
    "Open Mcu RecvQueue Error",
    "Mcu RecvQueue not Open,Please Call Init\n",
    /*smallestKeyId=*/2,
    /*typesAreSigned=*/false,
    MCU_MSG_TYPE_FIRST,
    MCU_MSG_TYPE_LAST,
    "Recv Mcu Msg Buff Is NULL\n",
    MCU_MSG_MAX_TEXT_SIZE,
    /*timeoutUnitMs=*/1000,
    /*logsSubCmd=*/true,
    /*lastDataType=*/MCU_MSG_TYPE_LAST,
    /*largestPayload=*/MCU_MSG_MAX_SEND_LEN,
};

// The public records are the protocol's records.
constexpr size_t kText = offsetof(McuMsg, type);
static_assert(kText == queue::kTextOffset);
static_assert(offsetof(McuMsg, type) == kText + queue::kTypeAt);
static_assert(offsetof(McuMsg, len) == kText + queue::kLenAt);
static_assert(offsetof(McuMsg, subCmd) == kText + queue::kSubCmdAt);
static_assert(offsetof(McuMsg, fill) == kText + queue::kFillAt);
static_assert(offsetof(McuMsg, data) == kText + queue::kDataAt);
static_assert(queue::kDataAt == MCU_MSG_HEADER_TEXT_SIZE);
static_assert(sizeof(McuMsg) >= MCU_MSG_BUFFER_SIZE);
static_assert(MCU_MSG_BUFFER_SIZE == sizeof(long) + 5132);
static_assert(MCU_MSG_MAX_SEND_LEN == 5120 && MCU_MSG_MAX_SEND_LEN <= MCU_MSG_DATA_ROOM);
static_assert(offsetof(McuCtrlMsg, msgType) == kText + queue::kCtrlMsgTypeAt);
static_assert(offsetof(McuCtrlMsg, keyId) == kText + queue::kCtrlKeyIdAt);
static_assert(offsetof(McuCtrlMsg, reserved) == kText + 8);
static_assert(queue::kCtrlTextSize == MCU_CTRL_MSG_TEXT_SIZE);
static_assert(sizeof(McuCtrlMsg) >= kText + MCU_CTRL_MSG_TEXT_SIZE);
static_assert(MCU_CTRL_SUBSCRIBE == queue::kSubscribe && MCU_CTRL_UNSUBSCRIBE == queue::kUnsubscribe);

int SendCtrlMsgToMcu(uint32_t keyId, uint32_t msgType, int ctrlType) {
    return queue::send_control(kMcuChannel, keyId, msgType, ctrlType, TBOX_QUEUE_SITE);
}

}  // namespace

int InitMcuMsg(void) {
    return queue::init(kMcuChannel, TBOX_QUEUE_SITE);
}

int DestroyMcuMsg(int keyId) {
    return queue::destroy(kMcuChannel, keyId, TBOX_QUEUE_SITE);
}

int SubscriptionMcuMsg(uint32_t keyId, uint32_t msgType) {
    return SendCtrlMsgToMcu(keyId, msgType, MCU_CTRL_SUBSCRIBE);
}

int UnSubscriptionMcuMsg(uint32_t keyId, uint32_t msgType) {
    return SendCtrlMsgToMcu(keyId, msgType, MCU_CTRL_UNSUBSCRIBE);
}

int GetMcuMsg(int keyId, McuMsg *msg, int timeout) {
    return queue::receive(kMcuChannel, keyId, msg, timeout, TBOX_QUEUE_SITE);
}

int SendMcuMsg(uint32_t type, int16_t len, uint8_t subCmd, const void *data) {
    return queue::send_data(kMcuChannel, type, len, subCmd, data, TBOX_QUEUE_SITE);
}
