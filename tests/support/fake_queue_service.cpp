#include "support/fake_queue_service.h"

#include <dlfcn.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace tbox::test {
namespace {

constexpr size_t kLargestText = 8192;  // msgmax of a fresh IPC namespace

uint32_t u32_at(const Bytes &text, size_t at) {
    uint32_t v = 0;
    if (text.size() >= at + 4) std::memcpy(&v, text.data() + at, 4);
    return v;
}

std::atomic<int> g_countedQueue{-1};
std::atomic<int> g_polls{0};

}  // namespace

PollCounter::PollCounter(int queue) {
    g_polls = 0;
    g_countedQueue = queue;
}
PollCounter::~PollCounter() {
    g_countedQueue = -1;
}
int PollCounter::attempts() const {
    return g_polls;
}

int raw_send(int queue, long mtype, const Bytes &text) {
    std::vector<unsigned char> buf(sizeof(long) + text.size());
    std::memcpy(buf.data(), &mtype, sizeof mtype);
    if (!text.empty()) std::memcpy(buf.data() + sizeof(long), text.data(), text.size());
    return msgsnd(queue, buf.data(), text.size(), IPC_NOWAIT);
}

bool raw_take(int queue, QueueRecord *out, size_t max) {
    std::vector<unsigned char> buf(sizeof(long) + max);
    const ssize_t n = msgrcv(queue, buf.data(), max, 0, IPC_NOWAIT);
    if (n < 0) return false;
    std::memcpy(&out->mtype, buf.data(), sizeof(long));
    out->text.assign(buf.begin() + sizeof(long), buf.begin() + sizeof(long) + n);
    return true;
}

size_t queued(int queue) {
    msqid_ds info{};
    if (msgctl(queue, IPC_STAT, &info) != 0) return 0;
    return info.msg_qnum;
}

Bytes mcu_text(uint32_t type, uint8_t subCmd, const Bytes &payload) {
    Bytes text(8 + payload.size());
    const auto len = static_cast<uint16_t>(payload.size());
    std::memcpy(text.data(), &type, 4);
    std::memcpy(text.data() + 4, &len, 2);
    text[6] = subCmd;
    std::copy(payload.begin(), payload.end(), text.begin() + 8);
    return text;
}

FakeQueueService::FakeQueueService(key_t key, Mode mode) {
    queue_ = msgget(key, IPC_CREAT | IPC_EXCL | 0666);
    if (queue_ == -1) throw std::runtime_error("fake queue service: cannot create its queue");
    if (mode == Mode::kServing) thread_ = std::thread([this] { serve(); });
}

FakeQueueService::~FakeQueueService() {
    msgctl(queue_, IPC_RMID, nullptr);  // wakes the blocked receive with EIDRM
    if (thread_.joinable()) thread_.join();
}

void FakeQueueService::serve() {
    std::vector<unsigned char> buf(sizeof(long) + kLargestText);
    for (;;) {
        const ssize_t n = msgrcv(queue_, buf.data(), kLargestText, 0, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        QueueRecord record;
        std::memcpy(&record.mtype, buf.data(), sizeof(long));
        record.text.assign(buf.begin() + sizeof(long), buf.begin() + sizeof(long) + n);
        std::lock_guard<std::mutex> lock(mutex_);
        const std::pair<uint32_t, uint32_t> sub{u32_at(record.text, 4), u32_at(record.text, 0)};
        if (record.mtype == 1 && n == 12) subscriptions_.insert(sub);
        if (record.mtype == 2 && n == 12) subscriptions_.erase(sub);
        received_.push_back(std::move(record));
        arrived_.notify_all();
    }
}

std::vector<QueueRecord> FakeQueueService::wait_for(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return received_.size() >= count; });
    return received_;
}

std::vector<QueueRecord> FakeQueueService::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::set<std::pair<uint32_t, uint32_t>> FakeQueueService::subscriptions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscriptions_;
}

int FakeQueueService::deliver(long type, const Bytes &text) {
    int delivered = 0;
    for (const auto &[keyId, msgType] : subscriptions()) {
        if (msgType != static_cast<uint32_t>(type)) continue;
        const int app = msgget(static_cast<key_t>(keyId), 0);
        if (app != -1 && raw_send(app, type, text) == 0) ++delivered;
    }
    return delivered;
}

}  // namespace tbox::test

extern "C" ssize_t msgrcv(int queue, void *record, size_t size, long type, int flags) {
    using Real = ssize_t (*)(int, void *, size_t, long, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "msgrcv"));
    if ((flags & IPC_NOWAIT) != 0 && queue == tbox::test::g_countedQueue) ++tbox::test::g_polls;
    return real(queue, record, size, type, flags);
}
