// ky.gbreal: a GbRealData record every --gb-interval ms, the AlarmState property, KL15 and charging.
//
// Built-in record (23 bytes, big-endian as on the GB/T 32960 wire): 6-byte time (yy mm dd hh mm ss,
// counting from 2026-01-01 00:00:00 by the record period, so runs repeat exactly), info type 0x01
// (vehicle data), vehicle state (1 started, 2 off), charging state, speed (0.1 km/h, 2 bytes),
// odometer (0.1 km, 4 bytes), voltage (0.1 V, 2 bytes), current (0.1 A + 1000, 2 bytes), SOC (%),
// sequence number (2 bytes), alarm flag.
#include <tbox/gb_gdbus.h>

#include <cstdint>
#include <vector>

#include "sim.h"

namespace tbox::sim {
namespace {

// The service's records are at most this long: the client copies into a 2048-byte buffer.
constexpr size_t kMaxRecord = 2048;

class GbService : public Service {
public:
    explicit GbService(Hub &hub)
        : Service(hub), skeleton_(ky_gbreal_skeleton_new()), interval_ms_(hub.options().gb_interval_ms) {
        g_signal_connect(skeleton_.get(), "handle-get-kl15-and-charging-status",
                         handler(+[](KyGbreal *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             const auto *gb = static_cast<GbService *>(self);
                             ky_gbreal_complete_get_kl15_and_charging_status(o, inv, gb->kl15_, gb->charging_);
                             return TRUE;
                         }),
                         this);
        on("record", "data:x length:i?", "emits GbRealData with these bytes (and another length, if given)",
           [this](const Args &a) {
               const auto bytes = a.bytes(0);
               if (bytes.size() > kMaxRecord) return "a record holds at most 2048 bytes";
               emit(bytes, a.has(1) ? a.integer(1) : static_cast<int>(bytes.size()));
               return "";
           });
        on("alarm", "on:b", "sets the AlarmState property (PropertiesChanged follows on a change)",
           [this](const Args &a) {
               alarm_ = a.boolean(0);
               ky_gbreal_set_alarm_state(skeleton_.get(), alarm_ ? TRUE : FALSE);
               // PropertiesChanged now, not from an idle callback: it keeps its place among the events.
               g_dbus_interface_skeleton_flush(G_DBUS_INTERFACE_SKELETON(skeleton_.get()));
               return "";
           });
        on("kl15", "kl15:i charging:i", "sets what GetKL15AndChargingStatus answers (1 on, 0 off)",
           [this](const Args &a) {
               kl15_ = a.integer(0);
               charging_ = a.integer(1);
               return "";
           });
        on("interval", "ms:i", "changes the period of the built-in records (0 stops them)", [this](const Args &a) {
            if (a.integer(0) < 0) return "the period cannot be negative";
            interval_ms_ = a.integer(0);
            restart();
            return "";
        });
    }
    const char *prefix() const override { return "gb"; }
    const char *bus_name() const override { return "ky.gbreal"; }
    const char *object_path() const override { return "/ky/gbreal"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

    std::string start() override {
        restart();
        return "";
    }

private:
    void restart() {
        if (timer_ != 0) timers_.cancel(timer_);
        timer_ = 0;
        if (interval_ms_ <= 0) return;
        timer_ = timers_.every(static_cast<unsigned>(interval_ms_), [this] {
            const auto record = next_record();
            emit(record, static_cast<int>(record.size()));
            return true;
        });
    }

    std::vector<uint8_t> next_record() {
        const int64_t elapsed_s = static_cast<int64_t>(sequence_) * interval_ms_ / 1000;
        GDateTime *base = g_date_time_new_utc(2026, 1, 1, 0, 0, 0);
        GDateTime *t = g_date_time_add_seconds(base, static_cast<gdouble>(elapsed_s));
        const bool moving = kl15_ == 1 && charging_ == 0;
        const int speed = moving ? 400 + static_cast<int>(sequence_ % 20) * 10 : 0;  // 40-59 km/h
        odometer_ += static_cast<uint32_t>(speed * interval_ms_ / 3600000);
        auto be16 = [](std::vector<uint8_t> &v, unsigned x) {
            v.push_back(static_cast<uint8_t>(x >> 8));
            v.push_back(static_cast<uint8_t>(x));
        };
        std::vector<uint8_t> r = {static_cast<uint8_t>(g_date_time_get_year(t) % 100),
                                  static_cast<uint8_t>(g_date_time_get_month(t)),
                                  static_cast<uint8_t>(g_date_time_get_day_of_month(t)),
                                  static_cast<uint8_t>(g_date_time_get_hour(t)),
                                  static_cast<uint8_t>(g_date_time_get_minute(t)),
                                  static_cast<uint8_t>(g_date_time_get_second(t)),
                                  0x01,
                                  static_cast<uint8_t>(kl15_ == 1 ? 1 : 2),
                                  static_cast<uint8_t>(charging_ == 1 ? 1 : 3)};
        be16(r, static_cast<unsigned>(speed));
        be16(r, odometer_ >> 16);
        be16(r, odometer_ & 0xFFFF);
        be16(r, 3550);                                                // 355.0 V
        be16(r, static_cast<unsigned>(1000 + (moving ? 120 : 0)));    // 12.0 A drawn while moving
        r.push_back(static_cast<uint8_t>(80 - sequence_ / 60 % 50));  // SOC slowly falling
        be16(r, sequence_ & 0xFFFF);
        r.push_back(alarm_ ? 1 : 0);
        g_date_time_unref(t);
        g_date_time_unref(base);
        ++sequence_;
        return r;
    }

    void emit(const std::vector<uint8_t> &bytes, int length) {
        GVariant *data = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
        ky_gbreal_emit_gb_real_data(skeleton_.get(), length, data);
    }

    GObjectPtr<KyGbreal> skeleton_;
    int interval_ms_;
    unsigned timer_ = 0;
    unsigned sequence_ = 0;
    uint32_t odometer_ = 123450;  // 12345.0 km
    int kl15_ = 1;
    int charging_ = 0;
    bool alarm_ = false;
};

}  // namespace

std::unique_ptr<Service> make_gb_service(Hub &hub) {
    return std::make_unique<GbService>(hub);
}

}  // namespace tbox::sim
