// NMEA 0183 sentences as a GNSS receiver prints them, and the position the simulated positioning
// service derives from RMC and GGA. Pure code (no GLib main loop), so it can be fuzzed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tbox::sim::nmea {

struct Sentence {
    std::string text;                 // "$GNRMC,...*7A", without the line end
    std::string kind;                 // the sentence formatter without talker: "RMC", "GGA", "GSA", ...
    std::vector<std::string> fields;  // after the address field, before the checksum
};

// Checks one line: "$", an address of five letters or digits, fields, "*" and two hex digits that
// match the XOR of the bytes between "$" and "*". A trailing "\r" is dropped. Returns "" or what is wrong.
std::string parse_sentence(std::string_view line, Sentence &out);

// The position as the service keeps it; the GpsParseredUpdate record is these ten numbers in order.
struct Fix {
    int valid = 0;        // 1 while the receiver reports a fix (RMC status A, GGA quality > 0)
    int lat_e6 = 0;       // latitude, millionths of a degree, north positive
    int lon_e6 = 0;       // longitude, millionths of a degree, east positive
    int altitude_dm = 0;  // altitude above mean sea level, decimetres (GGA)
    int speed_dkmh = 0;   // ground speed, tenths of km/h (RMC)
    int course_dd = 0;    // course over ground, tenths of a degree (RMC)
    int satellites = 0;   // satellites used (GGA)
    int hdop_x10 = 0;     // horizontal dilution of precision x 10 (GGA)
    int date = 0;         // UTC date as yyyymmdd (RMC)
    int time = 0;         // UTC time as hhmmss
};
std::array<int32_t, 10> to_record(const Fix &fix);

// Applies an RMC or GGA sentence to the fix. Returns "" when applied, "-" for sentences of other
// kinds (nothing to apply), or what is wrong with the fields (the fix is then unchanged).
std::string apply(const Sentence &sentence, Fix &fix);

// The sentence's UTC time of day in milliseconds (RMC and GGA), or -1.
int64_t time_of_day_ms(const Sentence &sentence);

// Seconds since 1970 of the fix's date and time, or -1 while either is unknown.
int64_t unix_time(const Fix &fix);

// Adds "*hh" to a sentence body that starts with "$".
std::string with_checksum(const std::string &body);

}  // namespace tbox::sim::nmea
