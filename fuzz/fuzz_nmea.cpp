// The NMEA parser on arbitrary lines: never crashes; every piece of a line is its text unchanged; an
// accepted RMC or GGA leaves a position on the globe and a date only on a valid fix; the checksum of an
// accepted sentence is the one with_checksum computes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    namespace nmea = tbox::sim::nmea;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    nmea::Track track;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        for (const nmea::Piece &piece : nmea::parse_line(line)) {
            const nmea::Sentence &s = piece.sentence;
            // Every piece is text of the line, byte for byte.
            if (s.text.empty() || line.find(s.text) == std::string_view::npos) std::abort();
            if (!piece.error.empty()) continue;
            // The checksum digits are those with_checksum computes, whatever their case.
            const size_t star = s.text.find('*');
            if (s.checksum != (star != std::string::npos)) std::abort();
            if (s.checksum) {
                if (star + 3 != s.text.size()) std::abort();
                const std::string expected = nmea::with_checksum(s.text.substr(0, star));
                for (size_t i = star; i < s.text.size(); ++i) {
                    const char c = s.text[i] >= 'a' && s.text[i] <= 'f' ? static_cast<char>(s.text[i] - 32) : s.text[i];
                    if (c != expected[i]) std::abort();
                }
            }
            const nmea::Track before = track;
            const std::string error = nmea::apply(s, track);
            if (!error.empty() && error != "-" &&
                (nmea::to_record(track.fix) != nmea::to_record(before.fix) || track.epoch_ms != before.epoch_ms))
                std::abort();
            const nmea::Fix &fix = track.fix;
            if (fix.valid != 0 && fix.valid != 1) std::abort();
            if (fix.valid == 0 && fix.date != 0) std::abort();
            if (fix.date != 0 && (fix.date < 19800101 || fix.date > 20791231)) std::abort();
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
