// Whole reads and writes on file descriptors, through short transfers and interrupted calls (EINTR).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tbox::io {

// Reads until `n` bytes arrived or the end of the file. Returns the bytes read (fewer than n only at the
// end of the file), or -1 with errno set.
ssize_t read_full(int fd, void *buf, size_t n);

// Writes all `n` bytes. Returns n, or -1 with errno set; `*written` (if given) tells how many bytes went
// out before the failure.
ssize_t write_full(int fd, const void *buf, size_t n, size_t *written = nullptr);

}  // namespace tbox::io
