// The test's side of the System V queue channels. Each test runs in a private IPC namespace, so the
// service keys 1 (MCU) and 2 (upgrade configuration) are the test's own and no host queue is touched.
// A service is only its queue: the test reads what the library put there, and plays the service by
// putting messages on application queues itself.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "support/log_capture.h"

namespace tbox::test {

using Bytes = std::vector<uint8_t>;

struct QueueRecord {
    long mtype;
    Bytes text;
};

// Enters a fresh IPC namespace (skips where the process may not) and captures log lines.
class QueueTest : public ::testing::Test {
protected:
    void SetUp() override;
    LogCapture log_;
};

// The queue a service owns under `key`, removed with the object.
struct ServiceQueue {
    explicit ServiceQueue(key_t key);
    ~ServiceQueue();
    int id;
};

int thread_id();
int app_queue(int keyId);                                // the queue with key keyId, or -1; never creates
int raw_send(int queue, long mtype, const Bytes &text);  // never blocks; 0 or -1
std::vector<QueueRecord> take_all(int queue);            // empties the queue, in order
size_t queued(int queue);

// Counts the non-blocking receives on `queue` from now on (the test binaries wrap msgrcv).
void count_polls(int queue);
int polls();

}  // namespace tbox::test
