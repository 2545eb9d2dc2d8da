#include "common/queue_channel.h"

#include <glib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "tbox/mcu.h"

namespace tbox::queue {
namespace {

struct Free {
    void operator()(void *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<unsigned char, Free>;

// Lines carry the channel's source name and the line of the exported function that was called, so a
// reader of the log finds the entry point the application used. The whole line is one literal format,
// so syslog drops a filtered line before anything is formatted. Expects `ch` and `site` in scope.
#define SAY(level, fmt, ...)                                                         \
    ::tbox::log::write(TBOX_LOG_PRIO_##level, " [" #level "] %s-%d:" fmt, ch.source, \
                       site.line __VA_OPT__(, ) __VA_ARGS__)

const char *error_text(int error) {
    return g_strerror(error);
}

int app_queue(int keyId) {
    return msgget(static_cast<key_t>(keyId), kQueueMode);
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

void log_received(const Channel &ch, const Site &site, int keyId, const void *record, ssize_t n, Mode mode) {
    long mtype;
    std::memcpy(&mtype, record, sizeof mtype);
    const auto type = static_cast<unsigned>(mtype);
    const int count = static_cast<int>(n);
    const int len = static_cast<int>(field_u16(record, kLenAt, n));
    if (ch.logsSubCmd) {
        SAY(debug, " APP GetData key[%d],recv [%d] OK,MsgType[0x%04x],MsgLen[%d],MsgSubCmd[%d]\n", keyId, count, type,
            len, static_cast<int>(field_u8(record, kSubCmdAt, n)));
    } else if (mode == Mode::kBlocking) {
        SAY(debug, " APP GetData key[%d],recv [%d] OK,MsgType[0x%04x],MsgLen[%d],\n", keyId, count, type, len);
    } else {
        SAY(debug, " APP GetData key[%d],recv [%d] OK,MsgType[0x%04x],MsgLen[%d]\n", keyId, count, type, len);
    }
}

int receive_blocking(const Channel &ch, const Site &site, int keyId, int queue, void *record) {
    const ssize_t n = msgrcv(queue, record, ch.largestText, 0, 0);
    if (n < 0) {
        const int error = errno;
        SAY(warn, " APP GetData key[%d],recv error[%d-%s]\n", keyId, error, error_text(error));
        return kFailed;
    }
    log_received(ch, site, keyId, record, n, Mode::kBlocking);
    return static_cast<int>(n);
}

// One attempt, then one more after each 50 ms pause while polls remain.
int receive_polling(const Channel &ch, const Site &site, int keyId, int queue, void *record, int polls) {
    for (;;) {
        const ssize_t n = msgrcv(queue, record, ch.largestText, 0, IPC_NOWAIT);
        if (n >= 0) {
            log_received(ch, site, keyId, record, n, Mode::kPolling);
            return static_cast<int>(n);
        }
        if (errno != ENOMSG) return kFailed;
        g_usleep(kPollIntervalUs);
        if (polls <= 0) return kTimedOut;
        --polls;
    }
}

}  // namespace

int init(const Channel &ch, Site site) {
    if (ch.logsInitStart) SAY(debug, "%s:Start\n", site.function);
    if (ch.serviceQueue->load() == -1) {
        const int service = msgget(ch.serviceKey, kQueueMode);
        if (service == -1) {
            const int error = errno;
            SAY(err, "%s:[%s]\n", ch.openServiceError, error_text(error));
            return kFailed;
        }
        ch.serviceQueue->store(service);
    }
    const long tid = syscall(SYS_gettid);
    if (tid == -1) {
        const int error = errno;
        SAY(err, "Get keyid error:[%s]\n", error_text(error));
        return kFailed;
    }
    const int keyId = static_cast<int>(tid);
    // Thread ids 1 and 2 occur inside PID namespaces (containers); their "own" queue would be a
    // service's queue, and receiving from it would take the service's messages away.
    if (keyId <= kLargestServiceKey) {
        SAY(err, "Get keyid error:[thread id %d is the key of a service queue]\n", keyId);
        return kFailed;
    }
    if (msgget(static_cast<key_t>(keyId), IPC_CREAT | kQueueMode) == -1) {
        const int error = errno;
        SAY(err, "Create App keyid[%d] RecvQueue Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    SAY(debug, "%s:End,%s Success,keyId[%d]\n", site.function, site.function, keyId);
    return keyId;
}

int destroy(const Channel &ch, int keyId, Site site) {
    SAY(debug, "%s:Start\n", site.function);
    if (keyId <= 0) {
        SAY(err, "%s Error:keyId <= 0\n", site.function);
        return kFailed;
    }
    const int queue = app_queue(keyId);
    if (queue == -1) {
        const int error = errno;
        SAY(err, "msgget[%d] Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    if (msgctl(queue, IPC_RMID, nullptr) == -1) {
        const int error = errno;
        SAY(err, "msgctl[%d] IPC_RMID Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    SAY(debug, "%s:End,%s Success,keyId[%d]\n", site.function, site.function, keyId);
    return keyId;
}

int send_control(const Channel &ch, uint32_t keyId, uint32_t msgType, int ctrlType, Site site) {
    SAY(debug, "%s:Start --type[%d]\n", site.function, ctrlType);
    const int service = ch.serviceQueue->load();
    if (service == -1) {
        SAY(err, "%s", ch.serviceNotOpen);
        return kFailed;
    }
    const int key = static_cast<int>(keyId);
    if (keyId < ch.smallestKeyId) {
        SAY(warn, "Wrong keyid[%d]\n", key);
        return kFailed;
    }
    if (app_queue(key) == -1) {
        const int error = errno;
        SAY(warn, "Open App keyid[%d] RecvQueue Error,Please Call Init:[%s]\n", key, error_text(error));
        return kFailed;
    }
    const int64_t type = ch.typesAreSigned ? static_cast<int64_t>(static_cast<int32_t>(msgType)) : msgType;
    if (type < ch.firstType || type > ch.lastType) {
        SAY(warn, "keyId[%d] MsgType[%d] over max limit,Please Check\n", key, static_cast<int>(msgType));
        return kFailed;
    }
    std::unique_ptr<McuCtrlMsg, Free> msg(static_cast<McuCtrlMsg *>(std::calloc(1, sizeof(McuCtrlMsg))));
    if (!msg) {
        const int error = errno;
        SAY(err, "malloc CtrlMsg Error:[%s]\n", error_text(error));
        return kFailed;
    }
    msg->mtype = ctrlType;
    msg->msgType = msgType;
    msg->keyId = keyId;
    const int ret = msgsnd(service, msg.get(), kCtrlTextSize, IPC_NOWAIT);
    msg.reset();
    SAY(debug, "%s:ret[%d],ctrlType[%d],msgType[%04x],keyId[%d]\n", site.function, ret, ctrlType, msgType, key);
    return ret == 0 ? 0 : kFailed;
}

int send_data(const Channel &ch, uint32_t type, int16_t len, uint8_t subCmd, const void *data, Site site) {
    SAY(debug, "%s:type[0x%04x]-len[%d]-subCmd[%d]\n", site.function, type, len, subCmd);
    const int service = ch.serviceQueue->load();
    if (service == -1) {
        SAY(err, "%s", ch.serviceNotOpen);
        return kFailed;
    }
    if (data == nullptr) {
        SAY(err, "SendData is NULL\n");
        return kFailed;
    }
    if (len < 0 || len > ch.largestPayload) {
        SAY(err, "Len is invalid\n");
        return kFailed;
    }
    if (type > ch.lastDataType) {
        SAY(warn, "type [0x%04x] over Max limit\n", type);
        return kFailed;
    }
    const size_t text = kDataAt + static_cast<size_t>(len);
    Buffer msg(static_cast<unsigned char *>(std::calloc(1, kTextOffset + text)));
    if (!msg) {
        const int error = errno;
        SAY(err, "Malloc %s Error:type[0x%04x]-len[%d]-subCmd[%d]-[%s]\n", site.function, type, len, subCmd,
            error_text(error));
        return kFailed;
    }
    unsigned char *p = msg.get();
    const long mtype = static_cast<long>(type);
    const auto length = static_cast<uint16_t>(len);
    std::memcpy(p, &mtype, sizeof mtype);
    std::memcpy(p + kTextOffset + kTypeAt, &type, sizeof type);
    std::memcpy(p + kTextOffset + kLenAt, &length, sizeof length);
    p[kTextOffset + kSubCmdAt] = static_cast<unsigned char>((subCmd & 0x7Fu) | 0x80u);
    p[kTextOffset + kFillAt] = 0;
    if (len > 0) std::memcpy(p + kTextOffset + kDataAt, data, static_cast<size_t>(len));
    const int ret = msgsnd(service, p, text, IPC_NOWAIT);
    SAY(debug, "%s:ret[%d]-type[0x%04x]-len[%d]-subCmd[%d]\n", site.function, ret, type, len, subCmd);
    return ret == 0 ? 0 : kFailed;
}

int receive(const Channel &ch, int keyId, void *record, int timeout, Site site) {
    if (record == nullptr) {
        SAY(warn, "%s", ch.nullBuffer);
        return kFailed;
    }
    const int queue = app_queue(keyId);
    if (queue == -1) {
        const int error = errno;
        SAY(err, "Open App keyid[%d] RecvQueue Error:[%s]\n", keyId, error_text(error));
        return kFailed;
    }
    if (timeout < 0) return receive_blocking(ch, site, keyId, queue, record);
    // timeout x unit must stay within a signed 32-bit count of milliseconds.
    const int largestTimeout = INT_MAX / ch.timeoutUnitMs;
    if (timeout > largestTimeout) {
        SAY(warn, "%s:timeout[%d] over max limit[%d]\n", site.function, timeout, largestTimeout);
        return kFailed;
    }
    const int polls = timeout * ch.timeoutUnitMs / (kPollIntervalUs / 1000);
    return receive_polling(ch, site, keyId, queue, record, polls);
}

}  // namespace tbox::queue
