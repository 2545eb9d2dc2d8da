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
    std::string kind;                 // the formatter without talker ("RMC", "GGA", "VDM"), or the whole
                                      // proprietary address ("PMTK010")
    std::vector<std::string> fields;  // after the address field, before the checksum
    bool checksum = false;            // the sentence ended in "*hh" (a matching one)
};

// Checks one sentence: "$" or "!", an address (a talker and a formatter, five or six upper-case letters
// or digits, or "P" and a maker's code of three or more), fields of printable characters other than
// "$", "!" and "*", then either "*" and two hex digits that match the XOR of the bytes between the start
// and "*", or nothing. A trailing "\r" is dropped. Returns "" or what is wrong.
std::string parse_sentence(std::string_view line, Sentence &out);

// One piece of a line as the receiver sent it: a sentence, or text refused with the reason.
struct Piece {
    std::string error;  // "" when `sentence` holds a sentence
    Sentence sentence;
};

// Splits one line into its sentences and checks each. A sentence starts at "$" or "!" and ends after
// its "*hh" or where the next one starts (two glued sentences); blanks between sentences are dropped,
// other text there is refused. A sentence without a checksum that the next one interrupts was cut.
std::vector<Piece> parse_line(std::string_view line);

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
    int date = 0;         // UTC date as yyyymmdd, only while valid and stated by a valid RMC of this epoch
    int time = 0;         // UTC time as hhmmss (0 when the receiver gave none)
};
std::array<int32_t, 10> to_record(const Fix &fix);

// The fix with the epoch it belongs to. An epoch is one UTC time of day (hhmmss.sss); its RMC and GGA
// may come in either order, so a date holds only within the epoch of the valid RMC that stated it.
struct Track {
    Fix fix;
    int64_t epoch_ms = -1;  // UTC time of day of the last RMC or GGA applied, -1 when it gave none
    int epoch_date = 0;     // yyyymmdd a valid RMC of that epoch stated, 0 if none yet
};

// Applies an RMC or GGA sentence to the track. Returns "" when applied, "-" for sentences of other
// kinds (nothing to apply), or what is wrong (the track is then unchanged). RMC and GGA need their
// checksum: without one a line cut short cannot be told from a whole one.
std::string apply(const Sentence &sentence, Track &track);

// The sentence's UTC time of day in milliseconds (RMC and GGA), or -1 when it has none.
int64_t time_of_day_ms(const Sentence &sentence);

// Seconds since 1970 of the fix's date and time, or -1 while either is unknown.
int64_t unix_time(const Fix &fix);

// Adds "*hh" to a sentence body that starts with "$".
std::string with_checksum(const std::string &body);

}  // namespace tbox::sim::nmea
