// tboxctl gnss: the current position and a stream of fixes or NMEA sentences (tbox/gnss.h).
#include <tbox/gnss.h>

#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

// The positioning service's record: valid, latitude and longitude in millionths of a degree, altitude in
// dm, speed in 0.1 km/h, course in 0.1 degree, satellites, HDOP x 10, UTC date yyyymmdd, UTC time hhmmss.
// Whether the record's latitude and longitude name a place on Earth.
bool on_earth(const GnssRecord &r) {
    constexpr int32_t kMaxLatitude = 90000000;
    constexpr int32_t kMaxLongitude = 180000000;
    return r.field[1] >= -kMaxLatitude && r.field[1] <= kMaxLatitude && r.field[2] >= -kMaxLongitude &&
           r.field[2] <= kMaxLongitude;
}

// The record's UTC date and time as ISO 8601 ("2026-03-14T08:30:04Z"), or "" when the receiver has no date
// yet (date 0) or the two do not name a real time.
std::string utc_time(int32_t date, int32_t time) {
    const int year = date / 10000;
    const int month = date / 100 % 100;
    const int day = date % 100;
    const int hour = time / 10000;
    const int minute = time / 100 % 100;
    const int second = time % 100;
    if (date <= 0 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        !g_date_valid_dmy(static_cast<GDateDay>(day), static_cast<GDateMonth>(month), static_cast<GDateYear>(year)))
        return "";
    if (time < 0 || hour > 23 || minute > 59 || second > 60) return "";  // 60: a leap second
    char text[32];
    g_snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour, minute, second);
    return text;
}

// A record whose position is off the Earth is shown as it came but never as valid.
Answer position(const GnssRecord &r) {
    Answer a;
    a.boolean("valid", r.field[0] != 0 && on_earth(r))
        .decimal("latitude", r.field[1] / 1e6, 6)
        .decimal("longitude", r.field[2] / 1e6, 6)
        .decimal("altitude_m", r.field[3] / 10.0, 1)
        .decimal("speed_kmh", r.field[4] / 10.0, 1)
        .decimal("course_deg", r.field[5] / 10.0, 1)
        .number("satellites", r.field[6])
        .decimal("hdop", r.field[7] / 10.0, 1);
    const std::string time = utc_time(r.field[8], r.field[9]);
    return time.empty() ? a.unknown("time") : a.text("time", time);
}

void on_record(const GnssRecord *record) {
    watch_event(position(*record));
}

void on_nmea(const char *nmea) {
    watch_event(Answer().text("nmea", trim_answer(nmea)));
}

int get(Context &ctx, const Args &) {
    if (InitGNSSInterface(nullptr, nullptr) != 0) return ctx.fail("cannot reach the positioning service (ky.gnss)");
    GnssRecord record{};
    if (!GetGpsData(&record)) return ctx.fail("the positioning service gave no position");
    ctx.print(position(record));
    if (!on_earth(record)) return ctx.fail("the positioning service gave a position off the Earth");
    return kOk;
}

int watch_fixes(Context &ctx, const Args &args) {
    const bool nmea = args.has("--nmea");
    if (InitGNSSInterface(nmea ? on_nmea : nullptr, nmea ? nullptr : on_record) != 0) {
        return ctx.fail("cannot reach the positioning service (ky.gnss)");
    }
    return watch(ctx, args.integer("--count"));
}

}  // namespace

Command gnss_commands() {
    return group("gnss", "Positioning: the current position and the stream of fixes.",
                 {leaf("get", "the current position (exit status 1 when it is off the Earth)", {}, get),
                  leaf("watch", "print each position (or NMEA sentence) as it comes, until interrupted",
                       {int_option("--count", 1, 1000000, "stop after N events"),
                        option("--nmea", Kind::Flag, "the receiver's sentences instead of positions")},
                       watch_fixes)});
}

}  // namespace tboxctl
