// Whole reads and writes on file descriptors, through short transfers and interrupted calls (EINTR).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tbox::io {

// Reads until `n` bytes arrived or the end of the file. Returns the bytes read (fewer than n only at the
// end of the file), or -1 with errno set.
ssize_t read_full(int fd, void *buf, size_t n);

// Writes all `n` bytes, with at least one write call (so a bad descriptor is reported even for n = 0).
// Returns the bytes written (fewer than n only if the device accepts no more), or -1 with errno set;
// `*written` (if given) tells how many bytes went out, also before a failure.
ssize_t write_full(int fd, const void *buf, size_t n, size_t *written = nullptr);

}  // namespace tbox::io
