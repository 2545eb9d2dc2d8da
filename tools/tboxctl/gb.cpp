// tboxctl gb: GB real-time data records, the alarm state and KL15 (tbox/gb.h).
#include <tbox/gb.h>

#include "cli.h"

namespace tboxctl {
namespace {

void on_record(int32_t len, const uint8_t *data) {
    watch_event(Answer().number("length", len).text("data", hex_text(data, static_cast<size_t>(len))));
}

void ignore_record(int32_t, const uint8_t *) {}

int watch_records(Context &ctx, const Args &args) {
    if (InitGbRealDataClient(on_record) != 0) return ctx.fail("cannot reach the GB data service (ky.gbreal)");
    return watch(ctx, args.integer("--count"));
}

int alarm(Context &ctx, const Args &) {
    if (InitGbRealDataClient(ignore_record) != 0) return ctx.fail("cannot reach the GB data service (ky.gbreal)");
    ctx.print(Answer().boolean("alarm", IsAlarm() == 1));
    return kOk;
}

int kl15(Context &ctx, const Args &) {
    if (InitGbRealDataClient(ignore_record) != 0) return ctx.fail("cannot reach the GB data service (ky.gbreal)");
    int32_t kl15 = 0;
    int32_t charging = 0;
    if (GetKL15AndChargingStatus(&kl15, &charging) != 0) return ctx.fail("no KL15 and charging status");
    ctx.print(Answer().number("kl15", kl15).number("charging", charging));
    return kOk;
}

}  // namespace

Command gb_commands() {
    return group("gb", "GB real-time vehicle data.",
                 {leaf("watch", "print each record as hex, until interrupted",
                       {int_option("--count", 1, 1000000, "stop after N records")}, watch_records),
                  leaf("alarm", "whether the vehicle is in alarm", {}, alarm),
                  leaf("kl15", "ignition (KL15) and charging status", {}, kl15)});
}

}  // namespace tboxctl
