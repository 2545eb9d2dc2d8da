// tboxctl pm: power state, wake-ups, sleep holds and alarms, and their events (tbox/pm.h).
#include <tbox/pm.h>
#include <tbox/pm_gdbus.h>

#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

const char *state_name(int state) {
    switch (state) {
        case 1:
            return "awake";
        case 3:
            return "asleep";
        default:
            return "other";
    }
}

const char *source_name(int source) {
    static const char *const kNames[] = {"none", "KL15", "CAN", "alarm", "G-sensor", "modem", "application"};
    return source >= 0 && source <= 6 ? kNames[source] : "other";
}

int init(Context &ctx) {
    if (InitPmClient("tboxctl") != 0) return ctx.fail("cannot reach the power management service (ky.pm)");
    return kOk;
}

int state(Context &ctx, const Args &) {
    if (const int s = init(ctx); s != kOk) return s;
    const int st = GetPmState();
    if (st < 0) return ctx.fail("no power state");
    ctx.print(Answer().number("state", st).text("name", state_name(st)));
    return kOk;
}

int wakeup_source(Context &ctx, const Args &) {
    if (const int s = init(ctx); s != kOk) return s;
    const int src = GetPmWakeUpSource();
    if (src < 0) return ctx.fail("no wake-up source");
    ctx.print(Answer().number("source", src).text("name", source_name(src)));
    return kOk;
}

int heartbeat(Context &ctx, const Args &) {
    if (const int s = init(ctx); s != kOk) return s;
    const int beat = GetMcuHeartbeatStatus();
    if (beat == -1) return ctx.fail("no MCU heartbeat");
    ctx.print(Answer().number("heartbeat", beat));
    return kOk;
}

int wakeup(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    const auto src = static_cast<int>(args.integer("SOURCE"));
    if (Wakeup(src) != 0) return ctx.fail("the box refused the wake-up");
    ctx.print(Answer().text("wakeup", "sent").number("source", src));
    return kOk;
}

int hold(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    if (SetSleepEvent(args.text("EVENT").c_str()) != 0) return ctx.fail("the box refused the sleep hold");
    ctx.print(Answer().text("hold", args.text("EVENT")));
    return kOk;
}

int release(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    if (CleanSleepEvent(args.text("EVENT").c_str()) != 0) return ctx.fail("the box refused to release the sleep hold");
    ctx.print(Answer().text("released", args.text("EVENT")));
    return kOk;
}

int alarm_add(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    const auto timeout = static_cast<int>(args.integer("SECONDS"));
    const auto id = static_cast<int>(args.integer("ID"));
    if (CreateSleepAlarm(timeout, id) != 0) return ctx.fail("the box refused the alarm");
    ctx.print(Answer().number("alarm", id).number("seconds", timeout));
    return kOk;
}

int alarm_del(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    // DeleteSleepAlarm reports its outcome in the log only: ask the service through the binding, so that a
    // refusal (no such alarm) reaches the exit status.
    const auto id = static_cast<int>(args.integer("ID"));
    GError *error = nullptr;
    KyPm *proxy =
        ky_pm_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.pm", "/ky/pm", nullptr, &error);
    const bool deleted = proxy != nullptr && ky_pm_call_delete_sleep_alarm_sync(proxy, id, nullptr, &error);
    const std::string why = error != nullptr ? std::string(": ") + error->message : "";
    if (error != nullptr) g_error_free(error);
    if (proxy != nullptr) g_object_unref(proxy);
    if (!deleted) return ctx.fail("the box refused to delete alarm " + std::to_string(id) + why);
    ctx.print(Answer().number("deleted", id));
    return kOk;
}

void on_state(uint8_t state, uint8_t source, int32_t alarm) {
    watch_event(Answer()
                    .text("event", "power-state")
                    .number("state", state)
                    .text("name", state_name(state))
                    .number("source", source)
                    .number("alarm", alarm));
}

void on_gsensor() {
    watch_event(Answer().text("event", "gsensor-wakeup").none("state").none("name").none("source").none("alarm"));
}

int watch_events(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    if (RegisterPmStateChangeCBack(on_state) != 0 || RegisterPmGsensorWakeUpCBack(on_gsensor) != 0) {
        return ctx.fail("cannot follow the power events");
    }
    return watch(ctx, args.integer("--count"));
}

Param event_param() {
    return arg("EVENT", Kind::Text, "the sleep event's name");
}

}  // namespace

Command pm_commands() {
    return group("pm", "Power management: state, wake-ups, sleep holds and alarms.",
                 {leaf("state", "the power state", {}, state),
                  leaf("wakeup-source", "what woke the box last", {}, wakeup_source),
                  leaf("heartbeat", "the MCU heartbeat", {}, heartbeat),
                  leaf("wakeup", "wake the box", {int_arg("SOURCE", 0, 255, "the wake-up source to report")}, wakeup),
                  leaf("hold", "hold sleep off under a named event", {event_param()}, hold),
                  leaf("release", "release a sleep hold", {event_param()}, release),
                  group("alarm", "Sleep alarms.",
                        {leaf("add", "wake the box after SECONDS with event ID",
                              {int_arg("SECONDS", 0, 0x7FFFFFFF, "time-out"), int_arg("ID", 0, 0x7FFFFFFF, "event id")},
                              alarm_add),
                         leaf("del", "delete a sleep alarm", {int_arg("ID", 0, 0x7FFFFFFF, "event id")}, alarm_del)}),
                  leaf("watch", "print power-state changes and G-sensor wake-ups, until interrupted",
                       {int_option("--count", 1, 1000000, "stop after N events")}, watch_events)});
}

}  // namespace tboxctl
