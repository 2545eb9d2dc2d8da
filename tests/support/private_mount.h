// Fixed paths of the box (/oemdata/...) for real, without touching the host's: the test process enters a
// private mount namespace and gets an empty tmpfs on the directory. Call before any thread starts (before
// the test bus is used): the kernel refuses a new mount namespace to a multi-threaded process.
#pragma once

#include <errno.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

namespace tbox::test {

// Mounts an empty tmpfs on `dir` (creating the mount point when missing and permitted) in this process's
// own mount namespace. Returns "" on success, or why it was refused, for GTEST_SKIP.
inline std::string private_tmpfs(const std::string &dir) {
    static const std::string entered = [] {
        if (unshare(CLONE_NEWNS) != 0) return std::string("private mount namespace refused: ") + std::strerror(errno);
        // Source and type are ignored for a propagation change; named anyway, as some checkers read them.
        if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot make the mounts private: ") + std::strerror(errno);
        }
        return std::string();
    }();
    if (!entered.empty()) return entered;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return "cannot create the mount point " + dir + ": " + std::strerror(errno);
    }
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        return "cannot mount a tmpfs on " + dir + ": " + std::strerror(errno);
    }
    return "";
}

}  // namespace tbox::test
