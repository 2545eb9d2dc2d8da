// StrToHex and HexsToChar on arbitrary text, with exactly sized buffers; HexToStr/StrToHex round trips.
#include <tbox/convert.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const int n = static_cast<int>(size / 2);

    std::vector<unsigned char> text(data, data + size);
    std::vector<unsigned char> bytes(static_cast<size_t>(n));
    StrToHex(bytes.data(), text.data(), n);

    // Bytes -> upper-case text -> bytes is the identity, and the text is all hex digits.
    std::vector<unsigned char> hex(2 * size + 1);
    HexToStr(hex.data(), data, static_cast<int>(size));
    for (size_t i = 0; i < 2 * size; ++i) {
        if (!std::isxdigit(hex[i]) || std::islower(hex[i])) std::abort();
    }
    std::vector<unsigned char> back(size);
    StrToHex(back.data(), hex.data(), static_cast<int>(size));
    if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();
    std::vector<unsigned char> lower(2 * size + 1);
    StrToAsc(lower.data(), data, static_cast<int>(size));
    StrToHex(back.data(), lower.data(), static_cast<int>(size));
    if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();

    // HexsToChar: the text up to the first NUL, upper-cased in place; only its last two digits count.
    std::vector<char> str(data, data + size);
    str.push_back('\0');
    const unsigned char value = HexsToChar(str.data());
    const size_t used = std::strlen(str.data());
    for (size_t i = 0; i < used; ++i) {
        if (str[i] >= 'a' && str[i] <= 'z') std::abort();
    }
    if (used >= 2 && std::isxdigit(static_cast<unsigned char>(str[used - 1])) &&
        std::isxdigit(static_cast<unsigned char>(str[used - 2]))) {
        unsigned char last[2] = {static_cast<unsigned char>(str[used - 2]), static_cast<unsigned char>(str[used - 1])};
        unsigned char expected = 0;
        StrToHex(&expected, last, 1);
        if (value != expected) std::abort();
    }
    return 0;
}
