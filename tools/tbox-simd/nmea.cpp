#include "nmea.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tbox::sim::nmea {
namespace {

// NMEA allows at most 82 characters; receivers print longer proprietary lines, so allow some room.
constexpr size_t kMaxLine = 256;

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (const char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// A decimal number such as "4807.038" or "-12.5"; false for anything else (no exponent, no blanks).
bool number(const std::string &s, double &out) {
    if (s.empty() || s.size() > 20) return false;
    size_t i = s[0] == '-' ? 1 : 0;
    bool digits = false, dot = false;
    for (; i < s.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(s[i]))) {
            digits = true;
        } else if (s[i] == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    out = std::strtod(s.c_str(), nullptr);
    return true;
}

// "ddmm.mmmm" + hemisphere -> millionths of a degree.
bool coordinate(const std::string &value, const std::string &hemisphere, int degree_digits, char positive,
                char negative, int &out) {
    double v = 0;
    if (!number(value, v) || v < 0) return false;
    const size_t dot = value.find('.');
    if ((dot == std::string::npos ? value.size() : dot) != static_cast<size_t>(degree_digits) + 2) return false;
    const double degrees = std::floor(v / 100);
    const double minutes = v - degrees * 100;
    const double limit = degree_digits == 2 ? 90 : 180;
    if (minutes >= 60 || degrees + minutes / 60 > limit) return false;
    double result = (degrees + minutes / 60) * 1e6;
    if (hemisphere.size() != 1 || (hemisphere[0] != positive && hemisphere[0] != negative)) return false;
    if (hemisphere[0] == negative) result = -result;
    out = static_cast<int>(std::lround(result));
    return true;
}

// "hhmmss" or "hhmmss.sss" -> hhmmss, and milliseconds of the day.
bool utc_time(const std::string &s, int &hhmmss, int64_t &ms) {
    if (s.size() < 6 || !all_digits(std::string_view(s).substr(0, 6))) return false;
    const int hh = std::atoi(s.substr(0, 2).c_str());
    const int mm = std::atoi(s.substr(2, 2).c_str());
    const int ss = std::atoi(s.substr(4, 2).c_str());
    if (hh > 23 || mm > 59 || ss > 60) return false;
    int frac_ms = 0;
    if (s.size() > 6) {
        if (s[6] != '.' || s.size() == 7 || s.size() > 10 || !all_digits(std::string_view(s).substr(7))) return false;
        std::string frac = s.substr(7);
        frac.resize(3, '0');
        frac_ms = std::atoi(frac.c_str());
    }
    hhmmss = hh * 10000 + mm * 100 + ss;
    ms = ((hh * 60LL + mm) * 60 + ss) * 1000 + frac_ms;
    return true;
}

// Optional decimal field scaled by 10 (empty -> 0).
bool tenths(const std::string &s, double scale, int &out) {
    if (s.empty()) {
        out = 0;
        return true;
    }
    double v = 0;
    if (!number(s, v) || std::fabs(v * scale) > 2e9) return false;
    out = static_cast<int>(std::lround(v * scale));
    return true;
}

// Two-digit years as receivers write them: 80-99 are 1980-1999, 00-79 are 2000-2079.
int full_year(int yy) {
    return yy >= 80 ? 1900 + yy : 2000 + yy;
}

// "ddmmyy" -> yyyymmdd, the year as the receiver stated it (a receiver past a week roll-over says 1999).
std::string rmc_date(const std::string &s, int &out) {
    if (s.size() != 6 || !all_digits(s)) return "RMC date \"" + s + "\" is not ddmmyy";
    const int dd = std::atoi(s.substr(0, 2).c_str());
    const int mo = std::atoi(s.substr(2, 2).c_str());
    const int yy = std::atoi(s.substr(4, 2).c_str());
    if (dd < 1 || dd > 31 || mo < 1 || mo > 12) return "RMC date \"" + s + "\" is not a date";
    out = full_year(yy) * 10000 + mo * 100 + dd;
    return "";
}

// The sentence's time: a no-fix sentence may leave it empty (ms -1, time 0), a fix may not.
std::string sentence_time(const Sentence &s, bool fix, int &hhmmss, int64_t &ms) {
    if (s.fields[0].empty() && !fix) {
        hhmmss = 0;
        ms = -1;
        return "";
    }
    if (!utc_time(s.fields[0], hhmmss, ms)) return s.kind + " time \"" + s.fields[0] + "\" is not hhmmss[.sss]";
    return "";
}

// Moves the track to the sentence's epoch and dates the fix: a valid fix carries the date a valid RMC
// of its own epoch stated, nothing else does.
void commit(Track &track, const Fix &next, int64_t ms, int stated_date) {
    if (ms != track.epoch_ms || ms < 0) {
        track.epoch_ms = ms;
        track.epoch_date = 0;
    }
    if (stated_date != 0) track.epoch_date = stated_date;
    track.fix = next;
    track.fix.date = next.valid == 1 ? track.epoch_date : 0;
}

std::string apply_rmc(const Sentence &s, Track &track) {
    const auto &f = s.fields;  // time, status, lat, N/S, lon, E/W, speed kn, course, date, ...
    if (f.size() < 9) return "RMC with " + std::to_string(f.size()) + " fields (at least 9)";
    if (f[1] != "A" && f[1] != "V") return "RMC status \"" + f[1] + "\" is neither A nor V";
    Fix next = track.fix;
    next.valid = f[1] == "A" ? 1 : 0;
    int64_t ms = 0;
    std::string error = sentence_time(s, next.valid == 1, next.time, ms);
    if (!error.empty()) return error;
    int date = 0;
    // A no-fix RMC gives its time only: receivers fill the rest with defaults (1980-01-05, 89°60').
    if (next.valid == 1) {
        if (!coordinate(f[2], f[3], 2, 'N', 'S', next.lat_e6)) return "RMC latitude \"" + f[2] + "," + f[3] + "\"";
        if (!coordinate(f[4], f[5], 3, 'E', 'W', next.lon_e6)) return "RMC longitude \"" + f[4] + "," + f[5] + "\"";
        if (!tenths(f[6], 1.852 * 10, next.speed_dkmh)) return "RMC speed \"" + f[6] + "\"";
        if (!tenths(f[7], 10, next.course_dd)) return "RMC course \"" + f[7] + "\"";
        if (!f[8].empty() && !(error = rmc_date(f[8], date)).empty()) return error;
    }
    commit(track, next, ms, date);
    return "";
}

std::string apply_gga(const Sentence &s, Track &track) {
    const auto &f = s.fields;  // time, lat, N/S, lon, E/W, quality, satellites, hdop, altitude, M, ...
    if (f.size() < 9) return "GGA with " + std::to_string(f.size()) + " fields (at least 9)";
    if (f[5].size() > 1 || (f[5].size() == 1 && !std::isdigit(static_cast<unsigned char>(f[5][0]))))
        return "GGA quality \"" + f[5] + "\" is not a digit";
    Fix next = track.fix;
    next.valid = !f[5].empty() && f[5] != "0" ? 1 : 0;
    int64_t ms = 0;
    std::string error = sentence_time(s, next.valid == 1, next.time, ms);
    if (!error.empty()) return error;
    if (!f[6].empty() && (f[6].size() > 2 || !all_digits(f[6]))) return "GGA satellites \"" + f[6] + "\"";
    next.satellites = f[6].empty() ? 0 : std::atoi(f[6].c_str());
    if (next.valid == 1) {
        if (!coordinate(f[1], f[2], 2, 'N', 'S', next.lat_e6)) return "GGA latitude \"" + f[1] + "," + f[2] + "\"";
        if (!coordinate(f[3], f[4], 3, 'E', 'W', next.lon_e6)) return "GGA longitude \"" + f[3] + "," + f[4] + "\"";
        if (!tenths(f[7], 10, next.hdop_x10)) return "GGA hdop \"" + f[7] + "\"";
        if (!tenths(f[8], 10, next.altitude_dm)) return "GGA altitude \"" + f[8] + "\"";
    }
    commit(track, next, ms, 0);
    return "";
}

// "$" starts a sentence, "!" an encapsulated one (AIVDM); neither may appear inside one.
bool starts_sentence(char c) {
    return c == '$' || c == '!';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string parse_sentence(std::string_view line, Sentence &out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return "empty line";
    if (line.size() > kMaxLine) return "longer than " + std::to_string(kMaxLine) + " characters";
    if (!starts_sentence(line[0])) return "does not start with $ or !";
    const size_t star = line.find('*');
    const size_t end = star == std::string_view::npos ? line.size() : star;
    unsigned sum = 0;
    for (size_t i = 1; i < end; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c > 0x7E || starts_sentence(line[i]))
            return "character " + std::to_string(c) + " inside the sentence";
        sum ^= c;
    }
    if (star != std::string_view::npos) {
        if (line.size() - star != 3) {
            return line.size() - star < 3 ? "cut short: checksum has fewer than two digits" : "text after the checksum";
        }
        const int hi = hex_digit(line[star + 1]);
        const int lo = hex_digit(line[star + 2]);
        if (hi < 0 || lo < 0) return "checksum \"" + std::string(line.substr(star + 1)) + "\" is not two hex digits";
        if (sum != static_cast<unsigned>(hi * 16 + lo)) {
            char computed[3];
            std::snprintf(computed, sizeof computed, "%02X", sum);
            return "bad checksum: sentence says " + std::string(line.substr(star + 1, 2)) + ", computed " + computed;
        }
    }
    const std::string body(line.substr(1, end - 1));
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        const size_t comma = body.find(',', pos);
        fields.push_back(body.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    const std::string &address = fields[0];
    for (const char c : address) {
        if (!std::isupper(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)))
            return "address \"" + address + "\" is not upper-case letters and digits";
    }
    const bool proprietary = !address.empty() && address[0] == 'P';
    if (proprietary ? address.size() < 4 : address.size() < 5 || address.size() > 6)
        return "address \"" + address + "\" is not a talker and a type";
    out.text = std::string(line);
    out.kind = proprietary ? address : address.substr(2);
    out.fields.assign(fields.begin() + 1, fields.end());
    out.checksum = star != std::string_view::npos;
    return "";
}

std::vector<Piece> parse_line(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    std::vector<Piece> pieces;
    size_t pos = 0;
    while (pos < line.size()) {
        if (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r') {
            ++pos;
            continue;
        }
        size_t end = pos + 1;
        while (end < line.size() && !starts_sentence(line[end]) && line[end] != '*') ++end;
        if (end < line.size() && line[end] == '*') end = std::min(line.size(), end + 3);
        Piece piece;
        const std::string_view text = line.substr(pos, end - pos);
        piece.error = parse_sentence(text, piece.sentence);
        if (piece.error.empty() && !piece.sentence.checksum && end < line.size())
            piece.error = "cut short: the next sentence starts before its end";
        if (!piece.error.empty()) piece.sentence.text = std::string(text);
        pieces.push_back(std::move(piece));
        pos = end;
    }
    return pieces;
}

std::string apply(const Sentence &sentence, Track &track) {
    if (sentence.kind != "RMC" && sentence.kind != "GGA") return "-";
    if (!sentence.checksum) return sentence.kind + " without a checksum";
    return sentence.kind == "RMC" ? apply_rmc(sentence, track) : apply_gga(sentence, track);
}

int64_t time_of_day_ms(const Sentence &sentence) {
    if ((sentence.kind != "RMC" && sentence.kind != "GGA") || sentence.fields.empty()) return -1;
    int hhmmss = 0;
    int64_t ms = -1;
    return utc_time(sentence.fields[0], hhmmss, ms) ? ms : -1;
}

std::array<int32_t, 10> to_record(const Fix &f) {
    return {f.valid,     f.lat_e6,     f.lon_e6,   f.altitude_dm, f.speed_dkmh,
            f.course_dd, f.satellites, f.hdop_x10, f.date,        f.time};
}

int64_t unix_time(const Fix &fix) {
    if (fix.date == 0) return -1;
    const int64_t y = fix.date / 10000, m = fix.date / 100 % 100, d = fix.date % 100;
    // Days since 1970-01-01 of a Gregorian date (Howard Hinnant's days_from_civil).
    const int64_t yy = y - (m <= 2 ? 1 : 0);
    const int64_t era = yy / 400;
    const int64_t yoe = yy - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    const int64_t hh = fix.time / 10000, mi = fix.time / 100 % 100, ss = fix.time % 100;
    return days * 86400 + hh * 3600 + mi * 60 + ss;
}

std::string with_checksum(const std::string &body) {
    unsigned sum = 0;
    for (size_t i = 1; i < body.size(); ++i) sum ^= static_cast<unsigned char>(body[i]);
    char tail[4];
    std::snprintf(tail, sizeof tail, "*%02X", sum & 0xFF);
    return body + tail;
}

}  // namespace tbox::sim::nmea
