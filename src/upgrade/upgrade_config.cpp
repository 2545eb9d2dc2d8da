// The upgrade configuration channel: queue key 2. Shares no state with the upgrade task client; its lines
// keep the name they have always carried.
#define TBOX_LOG_SOURCE "upgrade_api.cpp"

#include <atomic>
#include <cstddef>

#include "common/log.h"
#include "common/queue_channel.h"
#include "tbox/upgrade_config.h"

namespace {

namespace queue = tbox::queue;

// Identifier of the upgrade service's configuration queue (key 2): -1 until the first successful
// InitUpgradeConfigClient, then kept.
std::atomic<int> g_configQueueId{-1};

constexpr queue::Channel kConfigChannel = [] {
    queue::Channel ch;
    ch.serviceQueue = &g_configQueueId;
    ch.limits.serviceKey = 2;
    ch.limits.smallestKeyId = 3;
    ch.limits.typesAreSigned = true;
    ch.limits.firstType = CONFIG_TYPE_FIRST;
    ch.limits.lastType = CONFIG_TYPE_LAST;
    ch.limits.largestText = CONFIG_MSG_MAX_TEXT_SIZE;
    ch.limits.timeoutUnitMs = 1;
    ch.limits.lastDataType = 0;  // the library sends no data messages on this channel
    ch.limits.largestPayload = 0;
    ch.texts.source = TBOX_LOG_SOURCE;
    ch.texts.openServiceError = "Open Upgrade ConfigQueue Error";
    // spelled as the box's services and peers match it; do not correct
    ch.texts.serviceNotOpen = "Upgrade ConfigQueue not Open,Please Call InitUpgradeConfigClient\n";
    ch.texts.nullBuffer = "Recv Config Msg Buff Is NULL\n";
    ch.texts.logsInitStart = false;
    ch.texts.logsSubCmd = false;
    return ch;
}();

static_assert(offsetof(ConfigMsg, lead) == queue::kTextOffset);
static_assert(offsetof(ConfigMsg, len) == queue::kTextOffset + queue::kLenAt);
static_assert(sizeof(ConfigMsg) >= CONFIG_MSG_BUFFER_SIZE);
static_assert(CONFIG_MSG_BUFFER_SIZE == sizeof(long) + 4212);
static_assert(sizeof(ConfigType) == 4 && static_cast<ConfigType>(-1) < 0);
static_assert(CONFIG_CTRL_SUBSCRIBE == queue::kSubscribe && CONFIG_CTRL_UNSUBSCRIBE == queue::kUnsubscribe);

// Its lines name it "SendCtrlMsgToUpgrade", as they always have.
int send_ctrl_msg_to_upgrade(uint32_t keyId, ConfigType msgType, ConfigType ctrlType) {
    return queue::send_control(kConfigChannel, keyId, static_cast<uint32_t>(msgType), ctrlType, "SendCtrlMsgToUpgrade",
                               TBOX_LOG_SITE);
}

}  // namespace

int InitUpgradeConfigClient(void) {
    return queue::init(kConfigChannel, __func__, TBOX_LOG_SITE);
}

int SubscriptionConfigMsg(uint32_t keyId, ConfigType msgType) {
    return send_ctrl_msg_to_upgrade(keyId, msgType, CONFIG_CTRL_SUBSCRIBE);
}

int UnSubscriptionConfigMsg(uint32_t keyId, ConfigType msgType) {
    return send_ctrl_msg_to_upgrade(keyId, msgType, CONFIG_CTRL_UNSUBSCRIBE);
}

int GetConfigMsg(int keyId, ConfigMsg *msg, int timeout) {
    return queue::receive(kConfigChannel, keyId, msg, timeout, __func__, TBOX_LOG_SITE);
}
