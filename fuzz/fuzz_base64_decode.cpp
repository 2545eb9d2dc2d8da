// base64_decode on arbitrary text, with the output buffer exactly as large as its contract says; and
// base64_encode -> base64_decode round trips of the same bytes.
#include <tbox/convert.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // base64_encode reports every call on standard output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const int len = static_cast<int>(size);
    std::vector<char> text(data, data + size);
    text.push_back('\0');  // never an empty vector, whose data() may be NULL
    std::vector<char> decoded(3 * ((size + 3) / 4) + 1);
    const int n = base64_decode(text.data(), len, decoded.data());
    if (n > 0 && decoded[static_cast<size_t>(n)] != '\0') std::abort();
    if (n < 0 && decoded[0] != '\0') std::abort();

    // Encode: 4 characters per started 3 bytes, a newline per started 64 characters, the NUL.
    const size_t chars = 4 * ((size + 2) / 3);
    std::vector<char> encoded(chars + (chars + 63) / 64 + 1);
    const int m = base64_encode(text.data(), len, encoded.data());
    if (m < 0 || static_cast<size_t>(m) != std::strlen(encoded.data())) std::abort();
    // The decoder takes text without line breaks.
    std::vector<char> flat;
    for (int i = 0; i < m; ++i) {
        if (encoded[static_cast<size_t>(i)] != '\n') flat.push_back(encoded[static_cast<size_t>(i)]);
    }
    const size_t flat_len = flat.size();
    flat.push_back('\0');
    std::vector<char> back(3 * ((flat_len + 3) / 4) + 1);
    const int k = base64_decode(flat.data(), static_cast<int>(flat_len), back.data());
    if (k != len || std::memcmp(back.data(), data, size) != 0) std::abort();
    return 0;
}
