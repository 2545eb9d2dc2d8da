#include "support/fake_queue_service.h"

#include <dlfcn.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace tbox::test {
namespace {

std::atomic<int> g_countedQueue{-1};
std::atomic<int> g_polls{0};

int thread_count() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

}  // namespace

void QueueTest::SetUp() {
    // A namespace belongs to each thread: threads started earlier would stay on the host's queues.
    ASSERT_EQ(thread_count(), 1) << "refusing to touch System V queues from a multi-threaded process";
    if (unshare(CLONE_NEWIPC) == 0) return;
    if (errno == EPERM) GTEST_SKIP() << "a private IPC namespace needs CAP_SYS_ADMIN";
    FAIL() << "unshare(CLONE_NEWIPC): " << std::strerror(errno);
}

ServiceQueue::ServiceQueue(key_t key) : id(msgget(key, IPC_CREAT | IPC_EXCL | 0666)) {
    if (id == -1) throw std::runtime_error("cannot create the service queue");
}

ServiceQueue::~ServiceQueue() {
    msgctl(id, IPC_RMID, nullptr);
}

int thread_id() {
    return static_cast<int>(syscall(SYS_gettid));
}

int app_queue(int keyId) {
    return msgget(keyId, 0);
}

int raw_send(int queue, long mtype, const Bytes &text) {
    std::vector<unsigned char> buf(sizeof(long) + text.size());
    std::memcpy(buf.data(), &mtype, sizeof mtype);
    std::copy(text.begin(), text.end(), buf.begin() + sizeof(long));
    return msgsnd(queue, buf.data(), text.size(), IPC_NOWAIT);
}

std::vector<QueueRecord> take_all(int queue) {
    constexpr size_t kMax = 65536;
    std::vector<unsigned char> buf(sizeof(long) + kMax);
    std::vector<QueueRecord> got;
    for (ssize_t n; (n = msgrcv(queue, buf.data(), kMax, 0, IPC_NOWAIT)) >= 0;) {
        QueueRecord &r = got.emplace_back();
        std::memcpy(&r.mtype, buf.data(), sizeof(long));
        r.text.assign(buf.begin() + sizeof(long), buf.begin() + sizeof(long) + n);
    }
    return got;
}

size_t queued(int queue) {
    msqid_ds info{};
    return msgctl(queue, IPC_STAT, &info) == 0 ? info.msg_qnum : 0;
}

void count_polls(int queue) {
    g_polls = 0;
    g_countedQueue = queue;
}

int polls() {
    return g_polls;
}

}  // namespace tbox::test

extern "C" ssize_t msgrcv(int queue, void *record, size_t size, long type, int flags) {
    using Real = ssize_t (*)(int, void *, size_t, long, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "msgrcv"));
    if ((flags & IPC_NOWAIT) != 0 && queue == tbox::test::g_countedQueue) ++tbox::test::g_polls;
    return real(queue, record, size, type, flags);
}
