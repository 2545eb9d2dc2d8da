#include <sys/msg.h>

#include <atomic>
#include <cstddef>

#include "common/log.h"
#include "common/queue_channel.h"
#include "tbox/mcu.h"

namespace {

namespace queue = tbox::queue;

// Identifier of the MCU service's queue (key 1): -1 until the first successful InitMcuMsg, then kept.
std::atomic<int> g_mcuRecvQueueId{-1};

constexpr queue::Channel kMcuChannel = [] {
    queue::Channel ch;
    ch.serviceQueue = &g_mcuRecvQueueId;
    ch.limits.serviceKey = 1;
    ch.limits.smallestKeyId = 2;
    ch.limits.typesAreSigned = false;
    ch.limits.firstType = MCU_MSG_TYPE_FIRST;
    ch.limits.lastType = MCU_MSG_TYPE_LAST;
    ch.limits.largestText = MCU_MSG_MAX_TEXT_SIZE;
    ch.limits.timeoutUnitMs = 1000;
    ch.limits.lastDataType = MCU_MSG_TYPE_LAST;
    ch.limits.largestPayload = MCU_MSG_MAX_SEND_LEN;
    ch.texts.source = tbox::log::base_name(__FILE__);
    ch.texts.openServiceError = "Open Mcu RecvQueue Error";
    ch.texts.serviceNotOpen = "Mcu RecvQueue not Open,Please Call Init\n";
    ch.texts.nullBuffer = "Recv Mcu Msg Buff Is NULL\n";
    ch.texts.logsInitStart = true;
    ch.texts.logsSubCmd = true;
    return ch;
}();

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

// Its lines name it "SendCtrlMsgToMcu", as they always have.
int send_ctrl_msg_to_mcu(uint32_t keyId, uint32_t msgType, int ctrlType) {
    return queue::send_control(kMcuChannel, keyId, msgType, ctrlType, "SendCtrlMsgToMcu", TBOX_LOG_SITE);
}

}  // namespace

int InitMcuMsg(void) {
    return queue::init(kMcuChannel, __func__, TBOX_LOG_SITE);
}

int DestroyMcuMsg(int keyId) {
    return queue::destroy(kMcuChannel, keyId, __func__, TBOX_LOG_SITE);
}

int SubscriptionMcuMsg(uint32_t keyId, uint32_t msgType) {
    return send_ctrl_msg_to_mcu(keyId, msgType, MCU_CTRL_SUBSCRIBE);
}

int UnSubscriptionMcuMsg(uint32_t keyId, uint32_t msgType) {
    return send_ctrl_msg_to_mcu(keyId, msgType, MCU_CTRL_UNSUBSCRIBE);
}

int GetMcuMsg(int keyId, McuMsg *msg, int timeout) {
    return queue::receive(kMcuChannel, keyId, msg, timeout, __func__, TBOX_LOG_SITE);
}

int SendMcuMsg(uint32_t type, int16_t len, uint8_t subCmd, const void *data) {
    return queue::send_data(kMcuChannel, type, len, subCmd, data, __func__, TBOX_LOG_SITE);
}
