// System V message queues of the test's own: a private IPC namespace, so the fixed keys 1 and 2 are the
// test's and the host's queues stay untouched, and raw records put on a queue as a service would.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/threads.h"

namespace tbox::test {

// Moves the process into a new IPC namespace. Call before any thread starts: a namespace belongs to each
// thread, and threads started earlier would stay on the host's queues. Returns "" or why not, for
// GTEST_SKIP; what no missing privilege explains (a thread already running, another error) also fails
// the test.
inline std::string private_ipc_namespace() {
    const long threads = thread_count();
    if (threads != g_threadsAtStart) {
        ADD_FAILURE() << threads - g_threadsAtStart << " thread(s) started before the IPC namespace";
        return "threads already running";
    }
    if (unshare(CLONE_NEWIPC) != 0) {
        const int error = errno;
        const std::string why = std::string("may not create an IPC namespace: ") + std::strerror(error);
        if (error != EPERM) ADD_FAILURE() << why;
        return why;
    }
    return "";
}

// Puts one record (mtype, then `text`) on `queue` without waiting; msgsnd's result.
inline int raw_send(int queue, long mtype, const std::vector<uint8_t> &text) {
    std::vector<unsigned char> record(sizeof(long) + text.size());
    std::memcpy(record.data(), &mtype, sizeof mtype);
    std::copy(text.begin(), text.end(), record.begin() + sizeof(long));
    return msgsnd(queue, record.data(), text.size(), IPC_NOWAIT);
}

}  // namespace tbox::test
