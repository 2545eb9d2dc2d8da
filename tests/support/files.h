// Files for tests that compare with peer tools: a private temporary directory, whole-file reads and
// writes, shell commands that must succeed, and reproducible bytes without structure.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace tbox::test {

using Bytes = std::string;

// A fresh directory under /tmp, removed with its contents at the end of the scope.
struct TempDir {
    char tmpl[22] = "/tmp/tbox_test.XXXXXX";
    std::string path = mkdtemp(tmpl);
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    long entries() const {
        namespace fs = std::filesystem;
        return std::distance(fs::directory_iterator(path), fs::directory_iterator());
    }
};

inline void put(const std::string &path, const Bytes &data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline Bytes get(const std::string &path) {
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}

inline void run(const std::string &command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// n reproducible bytes without structure for a compressor or a differ to exploit.
inline Bytes noise(size_t n, unsigned seed) {
    std::minstd_rand random(seed);
    Bytes out(n, '\0');
    for (auto &c : out) c = static_cast<char>(random() >> 8);
    return out;
}

// What the code under test did to put files under their final names, in order, for a test linked with
// -Wl,--wrap=fsync,--wrap=renameat,--wrap=openat64 (the name of openat with 64-bit offsets):
//   "create 600"       a new file opened (O_CREAT or O_TMPFILE) with that mode
//   "fsync new file"   a flush of a file that has no name yet (O_TMPFILE): a kill leaves nothing behind
//   "fsync file"       a flush of a named file
//   "fsync dir <path>" a flush of a directory
//   "rename <path>"    a rename onto <path>
// tmpfile_refused makes O_TMPFILE fail as on a file system without it.
struct SyncSeam {
    std::mutex lock;
    std::vector<std::string> calls;
    bool tmpfile_refused = false;
};
inline SyncSeam g_sync;

inline std::vector<std::string> take_sync_calls() {
    const std::lock_guard<std::mutex> hold(g_sync.lock);
    return std::exchange(g_sync.calls, {});
}

inline void note_sync(std::string call) {
    const std::lock_guard<std::mutex> hold(g_sync.lock);
    g_sync.calls.push_back(std::move(call));
}

inline std::string fd_path(int fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
}

}  // namespace tbox::test

// Weak: only the tests linked with the --wrap options use them, the others need no __real_ symbols.
extern "C" int __real_fsync(int fd) __attribute__((weak));
extern "C" int __real_renameat(int, const char *, int, const char *) __attribute__((weak));
extern "C" int __real_openat64(int, const char *, int, ...) __attribute__((weak));

extern "C" __attribute__((weak)) int __wrap_fsync(int fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        tbox::test::note_sync(S_ISDIR(st.st_mode) ? "fsync dir " + tbox::test::fd_path(fd)
                              : st.st_nlink == 0  ? "fsync new file"
                                                  : "fsync file");
    }
    return __real_fsync(fd);
}

extern "C" __attribute__((weak)) int __wrap_renameat(int fromDir, const char *from, int toDir, const char *to) {
    tbox::test::note_sync("rename " + (toDir == AT_FDCWD ? std::string(to) : tbox::test::fd_path(toDir) + "/" + to));
    return __real_renameat(fromDir, from, toDir, to);
}

extern "C" __attribute__((weak)) int __wrap_openat64(int dir, const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
        char octal[16];
        std::snprintf(octal, sizeof octal, "create %o", static_cast<unsigned>(mode));
        tbox::test::note_sync(octal);
        if ((flags & O_TMPFILE) == O_TMPFILE && tbox::test::g_sync.tmpfile_refused) {
            errno = EOPNOTSUPP;
            return -1;
        }
    }
    return __real_openat64(dir, path, flags, mode);
}
