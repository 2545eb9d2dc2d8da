// ConvertStringToVersion on arbitrary text in every mode, the text in an exactly sized buffer (so a read
// past its NUL is caught): the call succeeds, fills only the fields its mode names, and a text of eleven
// digits reads back as the numbers it was printed from.
#include <tbox/version.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool in_atoi_range(int32_t value, int digits) {
    const int32_t max = digits == 2 ? 99 : 999;
    const int32_t min = digits == 2 ? -9 : -99;  // a sign takes one character of the slice
    return value >= min && value <= max;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 12) return 0;
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    for (uint8_t mode = 0; mode <= 3; ++mode) {
        VersionRecord r{7, 7, 7, 7};
        if (ConvertStringToVersion(&r, text.data(), mode) != 0) std::abort();
        if (!in_atoi_range(r.projectId, 3) || !in_atoi_range(r.major, 2)) std::abort();
        if (!in_atoi_range(r.sub1, 3) || !in_atoi_range(r.sub2, 3)) std::abort();
        if ((mode == 0 || mode == 2) && r.sub1 != 0) std::abort();
        if (mode == 1 && r.sub2 != 0) std::abort();
    }
    size_t digits = 0;
    while (digits < 11 && digits < size && std::isdigit(data[digits])) ++digits;
    if (digits == 11) {
        VersionRecord r{};
        ConvertStringToVersion_v3(&r, text.data());
        char again[12];
        std::snprintf(again, sizeof again, "%03d%02d%03d%03d", r.projectId, r.major, r.sub1, r.sub2);
        if (std::memcmp(again, data, 11) != 0) std::abort();
    }
    return 0;
}
