#include "queue_service.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tbox::sim {
namespace {

constexpr size_t kControlText = 12;  // msgType, keyId, 4 reserved bytes
constexpr long kSubscribe = 1;
constexpr long kUnsubscribe = 2;
constexpr size_t kReceiveRoom = 65536;  // more than any queue accepts (msgmax)

}  // namespace

std::string hex_type(uint32_t type) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", type);
    return text;
}

QueueService::QueueService(Hub &hub, QueueLimits limits) : Service(hub), limits_(limits) {}

QueueService::~QueueService() {
    if (queue_ >= 0) msgctl(queue_, IPC_RMID, nullptr);
}

std::string QueueService::start() {
    // Exclusive: a second simulator in the same IPC namespace must not share (or steal) this queue.
    queue_ = msgget(limits_.key, IPC_CREAT | IPC_EXCL | 0666);
    if (queue_ < 0) {
        const int e = errno;
        return "cannot create the queue with key " + std::to_string(limits_.key) + ": " + g_strerror(e) +
               (e == EEXIST ? " (another service owns it: run the simulator in its own IPC namespace, unshare --ipc)"
                            : "");
    }
    hub_.say("serving queue key " + std::to_string(limits_.key) + " (" + limits_.label + ")");
    timers_.every(static_cast<unsigned>(std::max(1, hub_.options().queue_poll_ms)), [this] {
        drain();
        return true;
    });
    return "";
}

void QueueService::refused(const std::string &why) {
    hub_.complain(std::string(limits_.label) + ": " + why);
    hub_.journal().add(std::string(limits_.label) + " refused " + why);
}

void QueueService::drain() {
    std::vector<unsigned char> buffer(sizeof(long) + kReceiveRoom);
    while (true) {
        const ssize_t n = msgrcv(queue_, buffer.data(), kReceiveRoom, 0, IPC_NOWAIT | MSG_NOERROR);
        if (n < 0) {
            if (errno != ENOMSG && errno != EINTR) hub_.complain(std::string("queue receive: ") + g_strerror(errno));
            return;
        }
        long mtype = 0;
        std::memcpy(&mtype, buffer.data(), sizeof mtype);
        const std::vector<uint8_t> text(buffer.begin() + sizeof(long), buffer.begin() + sizeof(long) + n);
        if ((mtype == kSubscribe || mtype == kUnsubscribe) && text.size() == kControlText) {
            on_control(mtype, text);
        } else {
            on_data(mtype, text);
        }
    }
}

void QueueService::on_control(long mtype, const std::vector<uint8_t> &text) {
    const uint32_t type = get_u32(text, 0);
    const uint32_t key = get_u32(text, 4);
    const std::string what = std::string(mtype == kSubscribe ? "subscribe " : "unsubscribe ") + hex_type(type) +
                             " key " + std::to_string(key);
    if (type < limits_.first_type || type > limits_.last_type) {
        refused(what + ": type outside " + hex_type(limits_.first_type) + ".." + hex_type(limits_.last_type));
        return;
    }
    if (key < limits_.smallest_key) {
        refused(what + ": keyId below " + std::to_string(limits_.smallest_key));
        return;
    }
    if (mtype == kSubscribe) {
        subscribers_[type].insert(key);
    } else {
        subscribers_[type].erase(key);
    }
    hub_.journal().add(std::string(limits_.label) + " " + what);
}

std::string QueueService::deliver(long mtype, const std::vector<uint8_t> &text) {
    auto it = subscribers_.find(static_cast<uint32_t>(mtype));
    if (it == subscribers_.end() || it->second.empty()) {
        hub_.say(std::string(limits_.label) + ": no subscriber for " + hex_type(static_cast<uint32_t>(mtype)));
        return "";
    }
    std::vector<unsigned char> record(sizeof(long) + text.size());
    std::memcpy(record.data(), &mtype, sizeof mtype);
    std::copy(text.begin(), text.end(), record.begin() + sizeof(long));
    std::string problems;
    for (auto key = it->second.begin(); key != it->second.end();) {
        const int queue = msgget(static_cast<key_t>(*key), 0);
        if (queue < 0) {
            // The application removed its queue (DestroyMcuMsg) or its namespace is gone.
            hub_.complain(std::string(limits_.label) + ": key " + std::to_string(*key) + " has no queue any more;" +
                          " subscription dropped");
            key = it->second.erase(key);
            continue;
        }
        if (msgsnd(queue, record.data(), text.size(), IPC_NOWAIT) != 0) {
            problems += (problems.empty() ? "" : "; ") + std::string("key ") + std::to_string(*key) + ": " +
                        g_strerror(errno) + " (message dropped)";
        }
        ++key;
    }
    return problems;
}

}  // namespace tbox::sim
