// The NMEA parser on arbitrary lines: never crashes; an accepted RMC or GGA leaves a position on the
// globe; the checksum of an accepted sentence is the one with_checksum computes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    namespace nmea = tbox::sim::nmea;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    nmea::Fix fix;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        nmea::Sentence s;
        if (nmea::parse_sentence(text.substr(pos, end - pos), s).empty()) {
            // The checksum digits are those with_checksum computes, whatever their case.
            const size_t star = s.text.rfind('*');
            if (star == std::string::npos || star + 3 != s.text.size()) std::abort();
            const std::string expected = nmea::with_checksum(s.text.substr(0, star));
            for (size_t i = star; i < s.text.size(); ++i) {
                const char c = s.text[i] >= 'a' && s.text[i] <= 'f' ? static_cast<char>(s.text[i] - 32) : s.text[i];
                if (c != expected[i]) std::abort();
            }
            const nmea::Fix before = fix;
            const std::string error = nmea::apply(s, fix);
            if (!error.empty() && error != "-" && nmea::to_record(fix) != nmea::to_record(before)) std::abort();
            if (fix.valid != 0 && fix.valid != 1) std::abort();
            if (fix.lat_e6 < -90000000 || fix.lat_e6 > 90000000) std::abort();
            if (fix.lon_e6 < -180000000 || fix.lon_e6 > 180000000) std::abort();
            if (fix.time < 0 || fix.time > 235960) std::abort();
            (void)nmea::time_of_day_ms(s);
            (void)nmea::unix_time(fix);
        }
        pos = end + 1;
    }
    return 0;
}
