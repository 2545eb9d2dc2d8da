#include "common/queue_channel.h"

#include <glib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/raii.h"
#include "tbox/mcu.h"

namespace tbox::queue {
namespace {

// Lines carry the channel's source name and the line of the exported function that was called, so a
// reader of the log finds the entry point the application used.
log::Site where(const Channel &ch, log::Site site) {
    return log::Site{ch.texts.source, site.line};
}

const char *error_text(int error) {
    return g_strerror(error);
}

// Identifiers of application queues by keyId, shared by both channels (a thread that initialises both has
// one queue). The kernel never hands a removed queue's identifier to the queue created after it (an
// identifier carries a sequence number), and refuses a removed one with EINVAL; so a stale entry (the
// queue removed, perhaps re-created, by DestroyMcuMsg or by another process) shows itself at the first
// receive, which then looks the key up again. Direct-mapped: a keyId that meets another in its slot just
// replaces it. An entry packs keyId (high half) and identifier; 0 is empty (keyIds are above 2).
class QueueIds {
public:
    int find(int keyId) const {
        const uint64_t e = slot(keyId).load(std::memory_order_acquire);
        return e != 0 && key_of(e) == keyId ? static_cast<int>(static_cast<uint32_t>(e)) : -1;
    }
    void put(int keyId, int id) {
        if (keyId > 0 && id >= 0) slot(keyId).store(pack(keyId, id), std::memory_order_release);
    }
    void drop(int keyId) {
        uint64_t e = slot(keyId).load(std::memory_order_acquire);
        while (e != 0 && key_of(e) == keyId && !slot(keyId).compare_exchange_weak(e, 0)) {
        }
    }

private:
    static constexpr size_t kSlots = 64;
    static uint64_t pack(int keyId, int id) {
        return (uint64_t{static_cast<uint32_t>(keyId)} << 32) | static_cast<uint32_t>(id);
    }
    static int key_of(uint64_t e) { return static_cast<int>(static_cast<uint32_t>(e >> 32)); }
    std::atomic<uint64_t> &slot(int keyId) { return slots_[static_cast<uint32_t>(keyId) % kSlots]; }
    const std::atomic<uint64_t> &slot(int keyId) const { return slots_[static_cast<uint32_t>(keyId) % kSlots]; }
    std::atomic<uint64_t> slots_[kSlots] = {};
};

QueueIds g_appQueues;

// Looks the application queue of `keyId` up in the kernel (it must exist) and remembers it.
int look_up_app_queue(int keyId) {
    const int id = msgget(static_cast<key_t>(keyId), kQueueMode);
    if (keyId > kLargestServiceKey) g_appQueues.put(keyId, id);
    return id;
}

// Reads a field of a received record only when the message was long enough to carry it, so a short
// message never reports what an earlier one left in the caller's buffer.
unsigned field_u16(const void *record, size_t at, ssize_t received) {
    if (received < static_cast<ssize_t>(at + 2)) return 0;
    uint16_t v;
    std::memcpy(&v, static_cast<const unsigned char *>(record) + kTextOffset + at, sizeof v);
    return v;
}

unsigned field_u8(const void *record, size_t at, ssize_t received) {
    if (received < static_cast<ssize_t>(at + 1)) return 0;
    return static_cast<const unsigned char *>(record)[kTextOffset + at];
}

enum class Mode { kBlocking, kPolling };

void log_received(const Channel &ch, log::Site at, int keyId, const void *record, ssize_t n, Mode mode) {
    if (!log::enabled(log::kDebug)) return;
    long mtype;
    std::memcpy(&mtype, record, sizeof mtype);
    const auto type = static_cast<unsigned>(mtype);
    const int count = static_cast<int>(n);
    const int len = static_cast<int>(field_u16(record, kLenAt, n));
    if (ch.texts.logsSubCmd) {
        TBOX_LOG_AT_SITE(at, debug, " APP GetData key[%d],recv [%d] OK,MsgType[0x%04x],MsgLen[%d],MsgSubCmd[%d]\n",
                         keyId, count, type, len, static_cast<int>(field_u8(record, kSubCmdAt, n)));
    } else if (mode == Mode::kBlocking) {
        TBOX_LOG_AT_SITE(at, debug, " APP GetData key[%d],recv [%d] OK,MsgType[0x%04x],MsgLen[%d],\n", keyId, count,
                         type, len);
    } else {
        TBOX_LOG_AT_SITE(at, debug, " APP GetData key[%d],recv [%d] OK,MsgType[0x%04x],MsgLen[%d]\n", keyId, count,
                         type, len);
    }
}

// The first attempt on a remembered identifier that the kernel no longer knows.
constexpr int kStale = INT_MIN;

int receive_blocking(const Channel &ch, log::Site at, int keyId, int queue, bool remembered, void *record) {
    const ssize_t n = msgrcv(queue, record, ch.limits.largestText, 0, 0);
    if (n < 0) {
        const int error = errno;
        if (error == EINVAL && remembered) return kStale;
        TBOX_LOG_AT_SITE(at, warn, " APP GetData key[%d],recv error[%d-%s]\n", keyId, error, error_text(error));
        return kFailed;
    }
    log_received(ch, at, keyId, record, n, Mode::kBlocking);
    return static_cast<int>(n);
}

// One attempt, then one more after each 50 ms pause while polls remain.
int receive_polling(const Channel &ch, log::Site at, int keyId, int queue, bool remembered, void *record, int polls) {
    for (;;) {
        const ssize_t n = msgrcv(queue, record, ch.limits.largestText, 0, IPC_NOWAIT);
        if (n >= 0) {
            log_received(ch, at, keyId, record, n, Mode::kPolling);
            return static_cast<int>(n);
        }
        if (errno == EINVAL && remembered) return kStale;
        if (errno != ENOMSG) return kFailed;
        remembered = false;  // the identifier was right; a queue removed while we wait fails as it always did
        g_usleep(kPollIntervalUs);
        if (polls <= 0) return kTimedOut;
        --polls;
    }
}

// Data messages up to this payload are built on the stack; larger ones take one allocation.
constexpr size_t kStackPayload = 1024;

}  // namespace

int init(const Channel &ch, const char *function, log::Site site) {
    const log::Site at = where(ch, site);
    if (ch.texts.logsInitStart) TBOX_LOG_AT_SITE(at, debug, "%s:Start\n", function);
    if (ch.serviceQueue->load() == -1) {
        const int service = msgget(ch.limits.serviceKey, kQueueMode);
        if (service == -1) {
            const int error = errno;
            TBOX_LOG_AT_SITE(at, err, "%s:[%s]\n", ch.texts.openServiceError, error_text(error));
            return kFailed;
        }
        ch.serviceQueue->store(service);
    }
    const long tid = syscall(SYS_gettid);
    if (tid == -1) {
        const int error = errno;
        TBOX_LOG_AT_SITE(at, err, "Get keyid error:[%s]\n", error_text(error));
        return kFailed;
    }
    const int keyId = static_cast<int>(tid);
    // Thread ids 1 and 2 occur inside PID namespaces (containers); their "own" queue would be a
    // service's queue, and receiving from it would take the service's messages away.
    if (keyId <= kLargestServiceKey) {
        TBOX_LOG_AT_SITE(at, err, "Get keyid error:[thread id %d is the key of a service queue]\n", keyId);
        return kFailed;
    }
    const int queue = msgget(static_cast<key_t>(keyId), IPC_CREAT | kQueueMode);
    if (queue == -1) {
        const int error = errno;
        TBOX_LOG_AT_SITE(at, err, "Create App keyid[%d] RecvQueue Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    g_appQueues.put(keyId, queue);
    TBOX_LOG_AT_SITE(at, debug, "%s:End,%s Success,keyId[%d]\n", function, function, keyId);
    return keyId;
}

int destroy(const Channel &ch, int keyId, const char *function, log::Site site) {
    const log::Site at = where(ch, site);
    TBOX_LOG_AT_SITE(at, debug, "%s:Start\n", function);
    if (keyId <= 0) {
        TBOX_LOG_AT_SITE(at, err, "%s Error:keyId <= 0\n", function);
        return kFailed;
    }
    const int queue = msgget(static_cast<key_t>(keyId), kQueueMode);
    if (queue == -1) {
        const int error = errno;
        TBOX_LOG_AT_SITE(at, err, "msgget[%d] Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    if (msgctl(queue, IPC_RMID, nullptr) == -1) {
        const int error = errno;
        TBOX_LOG_AT_SITE(at, err, "msgctl[%d] IPC_RMID Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    g_appQueues.drop(keyId);
    TBOX_LOG_AT_SITE(at, debug, "%s:End,%s Success,keyId[%d]\n", function, function, keyId);
    return keyId;
}

int send_control(const Channel &ch, uint32_t keyId, uint32_t msgType, int ctrlType, const char *function,
                 log::Site site) {
    const log::Site at = where(ch, site);
    const bool debug = log::enabled(log::kDebug);
    if (debug) TBOX_LOG_AT_SITE(at, debug, "%s:Start --type[%d]\n", function, ctrlType);
    const int service = ch.serviceQueue->load();
    if (service == -1) {
        TBOX_LOG_AT_SITE(at, err, "%s", ch.texts.serviceNotOpen);
        return kFailed;
    }
    const int key = static_cast<int>(keyId);
    if (keyId < ch.limits.smallestKeyId) {
        TBOX_LOG_AT_SITE(at, warn, "Wrong keyid[%d]\n", key);
        return kFailed;
    }
    // The queue must exist now: asked of the kernel, not of the remembered identifiers.
    if (msgget(static_cast<key_t>(key), kQueueMode) == -1) {
        const int error = errno;
        TBOX_LOG_AT_SITE(at, warn, "Open App keyid[%d] RecvQueue Error,Please Call Init:[%s]\n", key,
                         error_text(error));
        return kFailed;
    }
    const int64_t type = ch.limits.typesAreSigned ? static_cast<int64_t>(static_cast<int32_t>(msgType)) : msgType;
    if (type < ch.limits.firstType || type > ch.limits.lastType) {
        TBOX_LOG_AT_SITE(at, warn, "keyId[%d] MsgType[%d] over max limit,Please Check\n", key,
                         static_cast<int>(msgType));
        return kFailed;
    }
    McuCtrlMsg msg{};  // the reserved bytes go out as zeros
    msg.mtype = ctrlType;
    msg.msgType = msgType;
    msg.keyId = keyId;
    const int ret = msgsnd(service, &msg, kCtrlTextSize, IPC_NOWAIT);
    if (debug) {
        TBOX_LOG_AT_SITE(at, debug, "%s:ret[%d],ctrlType[%d],msgType[%04x],keyId[%d]\n", function, ret, ctrlType,
                         msgType, key);
    }
    return ret == 0 ? 0 : kFailed;
}

int send_data(const Channel &ch, uint32_t type, int16_t len, uint8_t subCmd, const void *data, const char *function,
              log::Site site) {
    const log::Site at = where(ch, site);
    const bool debug = log::enabled(log::kDebug);
    if (debug) TBOX_LOG_AT_SITE(at, debug, "%s:type[0x%04x]-len[%d]-subCmd[%d]\n", function, type, len, subCmd);
    const int service = ch.serviceQueue->load();
    if (service == -1) {
        TBOX_LOG_AT_SITE(at, err, "%s", ch.texts.serviceNotOpen);
        return kFailed;
    }
    if (data == nullptr) {
        TBOX_LOG_AT_SITE(at, err, "SendData is NULL\n");
        return kFailed;
    }
    if (len < 0 || len > ch.limits.largestPayload) {
        TBOX_LOG_AT_SITE(at, err, "Len is invalid\n");
        return kFailed;
    }
    if (type > ch.limits.lastDataType) {
        TBOX_LOG_AT_SITE(at, warn, "type [0x%04x] over Max limit\n", type);
        return kFailed;
    }
    const size_t text = kDataAt + static_cast<size_t>(len);
    alignas(long) unsigned char stack[kTextOffset + kDataAt + kStackPayload];
    Malloced<unsigned char> heap;
    unsigned char *p = stack;
    if (static_cast<size_t>(len) > kStackPayload) {
        heap.reset(static_cast<unsigned char *>(std::malloc(kTextOffset + text)));
        if (!heap) {
            const int error = errno;
            TBOX_LOG_AT_SITE(at, err, "Malloc %s Error:type[0x%04x]-len[%d]-subCmd[%d]-[%s]\n", function, type, len,
                             subCmd, error_text(error));
            return kFailed;
        }
        p = heap.get();
    }
    // Every byte of the record is written: mtype, the four header fields, the payload.
    const long mtype = static_cast<long>(type);
    const auto length = static_cast<uint16_t>(len);
    std::memcpy(p, &mtype, sizeof mtype);
    std::memcpy(p + kTextOffset + kTypeAt, &type, sizeof type);
    std::memcpy(p + kTextOffset + kLenAt, &length, sizeof length);
    p[kTextOffset + kSubCmdAt] = static_cast<unsigned char>((subCmd & 0x7Fu) | 0x80u);
    p[kTextOffset + kFillAt] = 0;
    if (len > 0) std::memcpy(p + kTextOffset + kDataAt, data, static_cast<size_t>(len));
    const int ret = msgsnd(service, p, text, IPC_NOWAIT);
    if (debug) {
        TBOX_LOG_AT_SITE(at, debug, "%s:ret[%d]-type[0x%04x]-len[%d]-subCmd[%d]\n", function, ret, type, len, subCmd);
    }
    return ret == 0 ? 0 : kFailed;
}

int receive(const Channel &ch, int keyId, void *record, int timeout, const char *function, log::Site site) {
    const log::Site at = where(ch, site);
    if (record == nullptr) {
        TBOX_LOG_AT_SITE(at, warn, "%s", ch.texts.nullBuffer);
        return kFailed;
    }
    // Key 0 is IPC_PRIVATE: looking it up would create a new queue on every call.
    if (keyId <= 0) {
        TBOX_LOG_AT_SITE(at, err, "Open App keyid[%d] RecvQueue Error:[%s]\n", keyId, error_text(EINVAL));
        return kFailed;
    }
    // The identifier remembered for keyId, else the kernel's answer; a remembered one that turns out
    // stale is forgotten and the key looked up again, once.
    for (int queue = g_appQueues.find(keyId);; queue = -1) {
        const bool remembered = queue != -1;
        if (!remembered) queue = look_up_app_queue(keyId);
        if (queue == -1) {
            const int error = errno;
            TBOX_LOG_AT_SITE(at, err, "Open App keyid[%d] RecvQueue Error:[%s]\n", keyId, error_text(error));
            return kFailed;
        }
        int result;
        if (timeout < 0) {
            result = receive_blocking(ch, at, keyId, queue, remembered, record);
        } else {
            // timeout x unit must stay within a signed 32-bit count of milliseconds.
            const int largestTimeout = INT_MAX / ch.limits.timeoutUnitMs;
            if (timeout > largestTimeout) {
                TBOX_LOG_AT_SITE(at, warn, "%s:timeout[%d] over max limit[%d]\n", function, timeout, largestTimeout);
                return kFailed;
            }
            const int polls = timeout * ch.limits.timeoutUnitMs / (kPollIntervalUs / 1000);
            result = receive_polling(ch, at, keyId, queue, remembered, record, polls);
        }
        if (result != kStale) return result;
        g_appQueues.drop(keyId);
    }
}

}  // namespace tbox::queue
