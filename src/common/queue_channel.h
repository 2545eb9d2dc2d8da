// The System V message-queue protocol shared by the MCU channel and the upgrade configuration channel.
//
// A service owns a queue with a fixed key. A receiving thread creates its application queue, keyed by
// its kernel thread id (the keyId), asks the service with control records (mtype 1 subscribe, 2
// unsubscribe; text msgType, keyId, 4 reserved bytes) to deliver message types into it, and takes
// messages out blocking or polling every 50 ms. Sends never block. A channel is described by a
// `Channel`: everything the two channels do differently is a member of its limits or texts.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/log.h"
#include "tbox/errors.h"

namespace tbox::queue {

// Every System V message begins with a `long` mtype; these are the text offsets after it.
constexpr size_t kTextOffset = sizeof(long);
constexpr size_t kTypeAt = 0;    // u32, data messages
constexpr size_t kLenAt = 4;     // u16, data and configuration messages
constexpr size_t kSubCmdAt = 6;  // u8, data messages
constexpr size_t kFillAt = 7;    // u8, data messages
constexpr size_t kDataAt = 8;    // payload of data messages
constexpr size_t kCtrlMsgTypeAt = 0;
constexpr size_t kCtrlKeyIdAt = 4;
constexpr size_t kCtrlTextSize = 12;

constexpr int kSubscribe = 1;
constexpr int kUnsubscribe = 2;
constexpr int kFailed = TBOX_ERR_FAILED;
constexpr int kTimedOut = TBOX_ERR_TIMEOUT;
constexpr int kPollIntervalUs = 50000;
constexpr int kQueueMode = 0644;
constexpr int kLargestServiceKey = 2;  // service queues have keys 1 (MCU) and 2 (upgrade configuration)

// The numbers in which the channels differ.
struct Limits {
    key_t serviceKey = 0;         // the service's queue
    uint32_t smallestKeyId = 0;   // smallest keyId a control message may name (unsigned)
    bool typesAreSigned = false;  // how msgType of a control message compares
    int64_t firstType = 0;        // first subscribable msgType
    int64_t lastType = 0;         // last subscribable msgType
    size_t largestText = 0;       // text bytes one receive takes at most
    int timeoutUnitMs = 0;        // 1000 (seconds) or 1 (milliseconds)
    uint32_t lastDataType = 0;    // data messages: largest type (0: the channel sends none)
    int largestPayload = 0;       // data messages: largest len
};

// The log lines in which the channels differ.
struct Texts {
    const char *source = nullptr;            // source base name shown in log lines
    const char *openServiceError = nullptr;  // err "<text>:[<errno text>]" when the service queue cannot be opened
    const char *serviceNotOpen = nullptr;    // err when a control or data message is sent before initialisation
    const char *nullBuffer = nullptr;        // warn when a receive is given no buffer
    bool logsInitStart = false;              // "<Init>:Start" line
    bool logsSubCmd = false;                 // received-message lines name the sub-command
};

// A channel: its limits, its texts and where it keeps its service queue's identifier (-1 before it is
// opened). Channels are filled member by member by name, so no two values can trade places unnoticed.
struct Channel {
    Limits limits;
    Texts texts;
    std::atomic<int> *serviceQueue = nullptr;
};

// Every operation is given the exported function it serves: `function`, the name its lines print, and
// `site` (TBOX_LOG_SITE there), whose line its lines carry under the channel's source name.

// Opens the service queue if not yet open, then creates or reuses the caller's application queue.
// Returns the keyId or -1.
int init(const Channel &channel, const char *function, log::Site site);

// Removes application queue `keyId` with its contents. Returns keyId or -1.
int destroy(const Channel &channel, int keyId, const char *function, log::Site site);

// Puts a control record (ctrlType 1 or 2) for `keyId` and `msgType` on the service queue. 0 or -1.
int send_control(const Channel &channel, uint32_t keyId, uint32_t msgType, int ctrlType, const char *function,
                 log::Site site);

// Puts a data message on the service queue. 0 or -1.
int send_data(const Channel &channel, uint32_t type, int16_t len, uint8_t subCmd, const void *data,
              const char *function, log::Site site);

// Receives the first message of queue `keyId` into `record` (kTextOffset + largestText bytes).
// timeout < 0 blocks; otherwise counts in timeoutUnitMs. Returns text bytes, -1 or -12.
int receive(const Channel &channel, int keyId, void *record, int timeout, const char *function, log::Site site);

}  // namespace tbox::queue
