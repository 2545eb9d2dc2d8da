// Threads of the test process, for tests that must start no thread before entering a namespace (a
// namespace belongs to each thread). Under qemu-user the process has a thread of the emulator's own
// from the start, so such tests compare with the count at start instead of with one.
#pragma once

#include <filesystem>
#include <iterator>

namespace tbox::test {

inline long thread_count() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

// Counted before main(), when no test code has run.
inline const long g_threadsAtStart = thread_count();

}  // namespace tbox::test
