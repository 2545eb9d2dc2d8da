// A queue-channel service for tests (the MCU message service on key 1, the upgrade service's
// configuration side on key 2): owns its queue, and, when serving, runs a thread that takes every
// message off it, records it byte for byte, keeps the subscriptions that control messages ask for and
// delivers messages to the subscribed application queues. Use it only inside a private IPC namespace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace tbox::test {

using Bytes = std::vector<uint8_t>;

// One System V message: mtype and the text after it.
struct QueueRecord {
    long mtype;
    Bytes text;
};

class FakeQueueService {
public:
    enum class Mode { kServing, kIdle };  // kIdle leaves messages on the queue for the test to inspect
    FakeQueueService(key_t key, Mode mode = Mode::kServing);
    ~FakeQueueService();  // removes the queue, which also ends the thread
    FakeQueueService(const FakeQueueService &) = delete;
    FakeQueueService &operator=(const FakeQueueService &) = delete;

    int queue() const { return queue_; }

    // Messages taken so far, in arrival order; waits up to `limit` until there are at least `count`.
    std::vector<QueueRecord> wait_for(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
    std::vector<QueueRecord> received() const;
    std::set<std::pair<uint32_t, uint32_t>> subscriptions() const;  // (keyId, msgType)

    // Sends `text` with mtype `type` to every queue subscribed to `type`; returns how many got it.
    int deliver(long type, const Bytes &text);

private:
    void serve();

    int queue_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<QueueRecord> received_;
    std::set<std::pair<uint32_t, uint32_t>> subscriptions_;
};

// Counts the non-blocking receives made on `queue` while alive: the test binaries carry a msgrcv that
// counts and then calls the C library's.
class PollCounter {
public:
    explicit PollCounter(int queue);
    ~PollCounter();
    PollCounter(const PollCounter &) = delete;
    PollCounter &operator=(const PollCounter &) = delete;
    int attempts() const;
};

// Raw queue helpers for the test's side.
int raw_send(int queue, long mtype, const Bytes &text);          // msgsnd, IPC_NOWAIT; 0 or -1
bool raw_take(int queue, QueueRecord *out, size_t max = 65536);  // msgrcv, IPC_NOWAIT
size_t queued(int queue);                                        // messages waiting
// The text of an McuMsg: type, len, subCmd, fill, payload.
Bytes mcu_text(uint32_t type, uint8_t subCmd, const Bytes &payload);

}  // namespace tbox::test
