// ky.gsensor: an acceleration sensor with three event thresholds (value in g, count of samples), zero
// points and offsets per axis. GetGsensorValue answers the current reading minus the zero points (m/s²).
// Events (1 rapid acceleration, 2 rapid deceleration, 3 sudden turn, 4 collision) and trailer alarms
// come from the scenario.
#include <tbox/gsensor_gdbus.h>

#include <array>
#include <cmath>

#include "sim.h"

namespace tbox::sim {
namespace {

struct Threshold {
    double value;
    int count;
};

class GsensorService : public Service {
public:
    explicit GsensorService(Hub &hub) : Service(hub), skeleton_(ky_gsensor_skeleton_new()) {
        auto *sk = skeleton_.get();
        threshold("handle-set-rapid-acc-threshold", 0,
                  [](KyGsensor *o, GDBusMethodInvocation *i) { ky_gsensor_complete_set_rapid_acc_threshold(o, i); });
        threshold("handle-set-rapid-deceleration-threshold", 1, [](KyGsensor *o, GDBusMethodInvocation *i) {
            ky_gsensor_complete_set_rapid_deceleration_threshold(o, i);
        });
        threshold("handle-set-sudden-turn-threshold", 2,
                  [](KyGsensor *o, GDBusMethodInvocation *i) { ky_gsensor_complete_set_sudden_turn_threshold(o, i); });
        g_signal_connect(sk, "handle-get-gsensor-value",
                         handler(+[](KyGsensor *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             const auto *g = static_cast<GsensorService *>(self);
                             ky_gsensor_complete_get_gsensor_value(
                                 o, inv,
                                 g_variant_new("(ddd)", g->raw_[0] - g->zero_[0], g->raw_[1] - g->zero_[1],
                                               g->raw_[2] - g->zero_[2]));
                             return TRUE;
                         }),
                         this);
        // The three zero points and three offsets share one handler shape each; the axis travels as
        // the handler's user data.
        for (int axis = 0; axis < 3; ++axis) {
            static const char *const zero_signals[] = {"handle-set-xzero-value", "handle-set-yzero-value",
                                                       "handle-set-zzero-value"};
            static const char *const offset_signals[] = {"handle-set-xoffset-value", "handle-set-yoffset-value",
                                                         "handle-set-zoffset-value"};
            axes_[axis] = {this, axis};
            g_signal_connect(
                sk, zero_signals[axis],
                handler(+[](KyGsensor *, GDBusMethodInvocation *inv, gdouble value, gpointer data) -> gboolean {
                    auto *a = static_cast<Axis *>(data);
                    if (!std::isfinite(value) || std::fabs(value) > 20)
                        return refuse(inv, "ky.gsensor.Error.InvalidValue", "zero point must lie within ±20 m/s²");
                    a->service->zero_[a->index] = value;
                    g_dbus_method_invocation_return_value(inv, nullptr);
                    return TRUE;
                }),
                &axes_[axis]);
            g_signal_connect(
                sk, offset_signals[axis],
                handler(+[](KyGsensor *, GDBusMethodInvocation *inv, guchar value, gpointer data) -> gboolean {
                    auto *a = static_cast<Axis *>(data);
                    a->service->offset_[a->index] = value;
                    g_dbus_method_invocation_return_value(inv, nullptr);
                    return TRUE;
                }),
                &axes_[axis]);
        }
        on("value", "x:d y:d z:d", "sets the raw reading in m/s²", [this](const Args &a) {
            raw_ = {a.real(0), a.real(1), a.real(2)};
            return "";
        });
        on("event", "code:i", "emits GsensorEventUpdate(code): 1 acceleration, 2 deceleration, 3 turn, 4 collision",
           [this](const Args &a) {
               if (a.integer(0) < 0 || a.integer(0) > 255) return "code must be 0-255";
               ky_gsensor_emit_gsensor_event_update(skeleton_.get(), static_cast<guchar>(a.integer(0)));
               return "";
           });
        on("trailer", "value:i", "emits TrailerAlarm(value)", [this](const Args &a) {
            if (a.integer(0) < 0 || a.integer(0) > 255) return "value must be 0-255";
            ky_gsensor_emit_trailer_alarm(skeleton_.get(), static_cast<guchar>(a.integer(0)));
            return "";
        });
    }
    const char *prefix() const override { return "gsensor"; }
    const char *bus_name() const override { return "ky.gsensor"; }
    const char *object_path() const override { return "/ky/gsensor"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    struct Axis {
        GsensorService *service;
        int index;
    };
    struct ThresholdHandler {
        GsensorService *service;
        int index;
        void (*complete)(KyGsensor *, GDBusMethodInvocation *);
    };

    void threshold(const char *signal, int index, void (*complete)(KyGsensor *, GDBusMethodInvocation *)) {
        handlers_[index] = {this, index, complete};
        g_signal_connect(
            skeleton_.get(), signal,
            handler(
                +[](KyGsensor *o, GDBusMethodInvocation *inv, gdouble value, gint count, gpointer data) -> gboolean {
                    auto *h = static_cast<ThresholdHandler *>(data);
                    if (!std::isfinite(value) || value <= 0 || value > 16)
                        return refuse(inv, "ky.gsensor.Error.InvalidValue", "threshold must lie within (0, 16] g");
                    if (count < 1 || count > 100)
                        return refuse(inv, "ky.gsensor.Error.InvalidCount", "count must be 1-100 samples");
                    h->service->thresholds_[h->index].value = value;
                    h->service->thresholds_[h->index].count = count;
                    h->complete(o, inv);
                    return TRUE;
                }),
            &handlers_[index]);
    }

    GObjectPtr<KyGsensor> skeleton_;
    std::array<Threshold, 3> thresholds_{{{0.35, 3}, {0.45, 3}, {0.4, 3}}};
    std::array<double, 3> zero_{};
    std::array<guchar, 3> offset_{};
    std::array<double, 3> raw_{0.02, -0.01, 9.81};
    std::array<Axis, 3> axes_{};
    std::array<ThresholdHandler, 3> handlers_{};
};

}  // namespace

std::unique_ptr<Service> make_gsensor_service(Hub &hub) {
    return std::make_unique<GsensorService>(hub);
}

}  // namespace tbox::sim
