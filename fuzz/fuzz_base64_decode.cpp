// base64_decode on arbitrary text, with the output buffer exactly as large as its contract says, against
// OpenSSL's base64 filter (whose results the decoder has always given); and base64_encode ->
// base64_decode round trips of the same bytes.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <tbox/convert.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The filter's result: -1 for a character outside the alphabet, '=', CR and LF, else what it reads.
int filter_decode(const uint8_t *data, size_t size, std::vector<char> &out) {
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/' || c == '=' || c == '\r' || c == '\n';
        if (!ok) return -1;
    }
    if (size == 0) return 0;
    BIO *chain = BIO_push(BIO_new(BIO_f_base64()), BIO_new_mem_buf(data, static_cast<int>(size)));
    BIO_set_flags(chain, BIO_FLAGS_BASE64_NO_NL);
    const int room = static_cast<int>(std::min(size, size / 4 * 3 + (size % 4 != 0 ? 3 : 0)));
    const int n = BIO_read(chain, out.data(), room);
    BIO_free_all(chain);
    return n;
}

}  // namespace

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
    std::vector<char> peer(decoded.size());
    if (filter_decode(data, size, peer) != n) std::abort();
    if (n > 0 && std::memcmp(peer.data(), decoded.data(), static_cast<size_t>(n)) != 0) std::abort();

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
