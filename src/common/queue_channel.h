// The System V message-queue protocol shared by the MCU channel and the upgrade configuration channel.
//
// A service owns a queue with a fixed key. A receiving thread creates its application queue, keyed by
// its kernel thread id (the keyId), asks the service with control records (mtype 1 subscribe, 2
// unsubscribe; text msgType, keyId, 4 reserved bytes) to deliver message types into it, and takes
// messages out blocking or polling every 50 ms. Sends never block. A channel is described by a
// `Channel`: everything the two channels do differently is a field of it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

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
constexpr int kFailed = -1;
constexpr int kTimedOut = -12;
constexpr int kPollIntervalUs = 50000;
constexpr int kQueueMode = 0644;
constexpr int kLargestServiceKey = 2;  // service queues have keys 1 (MCU) and 2 (upgrade configuration)

struct Channel {
    const char *source;              // source base name shown in log lines
    key_t serviceKey;                // the service's queue
    std::atomic<int> *serviceQueue;  // its identifier once opened, -1 before
    bool logsInitStart;              // "<Init>:Start" line
    const char *openServiceError;    // err "<text>:[<errno text>]" when the service queue cannot be opened
    const char *serviceNotOpen;      // err when a control or data message is sent before initialisation
    uint32_t smallestKeyId;          // smallest keyId a control message may name (unsigned)
    bool typesAreSigned;             // how msgType of a control message compares
    int64_t firstType;               // subscribable msgType range, inclusive
    int64_t lastType;
    const char *nullBuffer;  // warn when a receive is given no buffer
    size_t largestText;      // text bytes one receive takes at most
    int timeoutUnitMs;       // 1000 (seconds) or 1 (milliseconds)
    bool logsSubCmd;         // received-message lines name the sub-command
    uint32_t lastDataType;   // data messages: largest type
    int largestPayload;      // data messages: largest len
};

// Where a log line is reported from: the exported function and its line in the channel's source.
struct Site {
    const char *function;
    int line;
};
#define TBOX_QUEUE_SITE (::tbox::queue::Site{__func__, __LINE__})

// Opens the service queue if not yet open, then creates or reuses the caller's application queue.
// Returns the keyId or -1.
int init(const Channel &channel, Site site);

// Removes application queue `keyId` with its contents. Returns keyId or -1.
int destroy(const Channel &channel, int keyId, Site site);

// Puts a control record (ctrlType 1 or 2) for `keyId` and `msgType` on the service queue. 0 or -1.
int send_control(const Channel &channel, uint32_t keyId, uint32_t msgType, int ctrlType, Site site);

// Puts a data message on the service queue. 0 or -1.
int send_data(const Channel &channel, uint32_t type, int16_t len, uint8_t subCmd, const void *data, Site site);

// Receives the first message of queue `keyId` into `record` (kTextOffset + largestText bytes).
// timeout < 0 blocks; otherwise counts in timeoutUnitMs. Returns text bytes, -1 or -12.
int receive(const Channel &channel, int keyId, void *record, int timeout, Site site);

}  // namespace tbox::queue
