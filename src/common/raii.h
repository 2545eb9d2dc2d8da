// Owners for C resources: memory from malloc, OpenSSL objects, file descriptors, FILE streams.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tbox {

// unique_ptr deleter that calls the C function `Release` (e.g. Owned<EVP_MD_CTX, EVP_MD_CTX_free>).
template <auto Release>
struct CallRelease {
    template <typename T>
    void operator()(T *p) const {
        Release(p);
    }
};

inline void free_memory(void *p) {
    std::free(p);
}

template <typename T, auto Release>
using Owned = std::unique_ptr<T, CallRelease<Release>>;

// Memory from malloc/calloc, released with free.
template <typename T>
using Malloced = Owned<T, free_memory>;

inline int close_file(FILE *f) {
    return std::fclose(f);
}
using UniqueFile = Owned<FILE, close_file>;

// A file descriptor closed on scope exit (errno survives the close, so callers can still report it).
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_;
};

}  // namespace tbox
