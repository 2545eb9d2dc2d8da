// Copying texts into callers' buffers.
#pragma once

#include <cstddef>
#include <cstring>

namespace tbox::text {

// Copies `text` into `dst` with its NUL, cut to `capacity - 1` characters. A null `dst` takes nothing;
// capacity 0 means the caller gave no size (SendAT and the GetModem* helpers), so the whole text goes.
inline void copy_cut(char *dst, const char *text, size_t capacity) {
    if (dst == nullptr) return;
    const size_t n = capacity == 0 ? std::strlen(text) : strnlen(text, capacity - 1);
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}

}  // namespace tbox::text
