#include "common/io.h"

#include <unistd.h>

#include <cerrno>

namespace tbox::io {

ssize_t read_full(int fd, void *buf, size_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(fd, p + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

ssize_t write_full(int fd, const void *buf, size_t n, size_t *written) {
    const auto *p = static_cast<const unsigned char *>(buf);
    size_t done = 0;
    do {  // at least one call, so a bad descriptor is reported even for n = 0
        const ssize_t put = ::write(fd, p + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            if (written != nullptr) *written = done;
            return -1;
        }
        if (put == 0) break;  // no progress possible
        done += static_cast<size_t>(put);
    } while (done < n);
    if (written != nullptr) *written = done;
    return static_cast<ssize_t>(done);
}

}  // namespace tbox::io
