// ky.pm: power state, wake-up source and MCU heartbeat; sleep events form a set that holds sleep off;
// sleep alarms wake the box after their time-out (seconds) with PowerStateChanged(awake, alarm, id).
//
// Power states: 1 awake, 3 asleep. Wake-up sources: 0 none, 1 KL15, 2 CAN, 3 sleep alarm, 4 G-sensor,
// 5 modem, 6 application (Wakeup).
#include <tbox/pm_gdbus.h>

#include <map>
#include <set>

#include "sim.h"

namespace tbox::sim {
namespace {

constexpr guint8 kAwake = 1;
constexpr guint8 kAsleep = 3;
constexpr guint8 kFromAlarm = 3;
constexpr guint8 kFromGsensor = 4;

class PmService : public Service {
public:
    explicit PmService(Hub &hub) : Service(hub), skeleton_(ky_pm_skeleton_new()) {
        auto *sk = skeleton_.get();
        g_signal_connect(sk, "handle-get-power-state",
                         handler(+[](KyPm *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_pm_complete_get_power_state(o, inv, static_cast<PmService *>(self)->state_);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-wake-up-source",
                         handler(+[](KyPm *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_pm_complete_get_wake_up_source(o, inv, static_cast<PmService *>(self)->source_);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-mcu-heartbeat",
                         handler(+[](KyPm *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_pm_complete_get_mcu_heartbeat(o, inv, static_cast<PmService *>(self)->heartbeat_);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-wakeup",
                         handler(+[](KyPm *o, GDBusMethodInvocation *inv, gint source, gpointer self) -> gboolean {
                             if (source < 0 || source > 255)
                                 return refuse(inv, "ky.pm.Error.InvalidSource", "source must be 0-255");
                             auto *pm = static_cast<PmService *>(self);
                             if (pm->state_ == kAsleep) pm->wake(static_cast<guint8>(source), 0);
                             ky_pm_complete_wakeup(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(
            sk, "handle-set-sleep-event",
            handler(+[](KyPm *o, GDBusMethodInvocation *inv, const gchar *event, gpointer self) -> gboolean {
                if (*event == '\0') return refuse(inv, "ky.pm.Error.InvalidEvent", "empty sleep event");
                static_cast<PmService *>(self)->holds_.insert(event);
                ky_pm_complete_set_sleep_event(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(
            sk, "handle-clean-sleep-event",
            handler(+[](KyPm *o, GDBusMethodInvocation *inv, const gchar *event, gpointer self) -> gboolean {
                auto *pm = static_cast<PmService *>(self);
                if (pm->holds_.erase(event) == 0)
                    return refuse(inv, "ky.pm.Error.NoSuchEvent",
                                  std::string("sleep event \"") + event + "\" is not set");
                ky_pm_complete_clean_sleep_event(o, inv);
                if (pm->holds_.empty() && pm->sleep_wanted_) pm->sleep();
                return TRUE;
            }),
            this);
        g_signal_connect(
            sk, "handle-create-sleep-alarm",
            handler(+[](KyPm *o, GDBusMethodInvocation *inv, gint timeout, gint id, gpointer self) -> gboolean {
                if (timeout <= 0 || timeout > 7 * 86400)
                    return refuse(inv, "ky.pm.Error.InvalidTimeout", "time-out must be 1-604800 s");
                static_cast<PmService *>(self)->create_alarm(timeout, id);
                ky_pm_complete_create_sleep_alarm(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(sk, "handle-delete-sleep-alarm",
                         handler(+[](KyPm *o, GDBusMethodInvocation *inv, gint id, gpointer self) -> gboolean {
                             auto *pm = static_cast<PmService *>(self);
                             const auto it = pm->alarms_.find(id);
                             if (it == pm->alarms_.end())
                                 return refuse(inv, "ky.pm.Error.NoSuchAlarm", "no sleep alarm " + std::to_string(id));
                             pm->timers_.cancel(it->second);
                             pm->alarms_.erase(it);
                             ky_pm_complete_delete_sleep_alarm(o, inv);
                             return TRUE;
                         }),
                         this);

        on("sleep", "", "asks the box to sleep: at once, or when the last sleep event is cleaned",
           [this](const Args &) {
               sleep_wanted_ = true;
               if (holds_.empty()) {
                   sleep();
               } else {
                   std::string names;
                   for (const auto &h : holds_) names += (names.empty() ? "" : ", ") + h;
                   hub_.say("sleep held off by " + names);
               }
               return "";
           });
        on("wake", "source:i", "wakes the box from `source` and emits PowerStateChanged(1, source, 0)",
           [this](const Args &a) {
               if (a.integer(0) < 0 || a.integer(0) > 255) return "source must be 0-255";
               wake(static_cast<guint8>(a.integer(0)), 0);
               return "";
           });
        on("state", "state:i source:i event:i", "sets the state and source and emits PowerStateChanged as given",
           [this](const Args &a) {
               if (a.integer(0) < 0 || a.integer(0) > 255 || a.integer(1) < 0 || a.integer(1) > 255)
                   return "state and source must be 0-255";
               state_ = static_cast<guint8>(a.integer(0));
               source_ = static_cast<guint8>(a.integer(1));
               ky_pm_emit_power_state_changed(skeleton_.get(), state_, source_, a.integer(2));
               return "";
           });
        on("gsensor", "", "emits GsensorWakeUp; a sleeping box wakes with source 4", [this](const Args &) {
            ky_pm_emit_gsensor_wake_up(skeleton_.get());
            if (state_ == kAsleep) wake(kFromGsensor, 0);
            return "";
        });
        on("heartbeat", "running:b", "starts or stops the MCU heartbeat counter", [this](const Args &a) {
            heartbeat_running_ = a.boolean(0);
            return "";
        });
    }
    const char *prefix() const override { return "pm"; }
    const char *bus_name() const override { return "ky.pm"; }
    const char *object_path() const override { return "/ky/pm"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

    std::string start() override {
        timers_.every(1000, [this] {
            if (heartbeat_running_) ++heartbeat_;
            return true;
        });
        return "";
    }

private:
    void sleep() {
        sleep_wanted_ = false;
        state_ = kAsleep;
        source_ = 0;
        ky_pm_emit_power_state_changed(skeleton_.get(), state_, source_, 0);
    }

    void wake(guint8 source, int alarm_id) {
        sleep_wanted_ = false;
        state_ = kAwake;
        source_ = source;
        ky_pm_emit_power_state_changed(skeleton_.get(), state_, source_, alarm_id);
    }

    void create_alarm(int timeout_s, int id) {
        const auto old = alarms_.find(id);
        if (old != alarms_.end()) timers_.cancel(old->second);  // the same id again: the new time-out counts
        alarms_[id] = timers_.after(static_cast<unsigned>(timeout_s) * 1000, [this, id] {
            alarms_.erase(id);
            wake(kFromAlarm, id);
        });
    }

    GObjectPtr<KyPm> skeleton_;
    guint8 state_ = kAwake;
    guint8 source_ = 1;  // powered on by KL15
    int heartbeat_ = 0;
    bool heartbeat_running_ = true;
    bool sleep_wanted_ = false;
    std::set<std::string> holds_;
    std::map<int, unsigned> alarms_;  // event id -> timer
};

}  // namespace

std::unique_ptr<Service> make_pm_service(Hub &hub) {
    return std::make_unique<PmService>(hub);
}

}  // namespace tbox::sim
