#include "tbox/pm.h"

#include "common/dbus_client.h"
#include "common/log.h"

PmStateChangedCBack g_pmStateChangedCBack = nullptr;
PmGsensorWakeUpCBack g_pmGsensorWakeUpCBack = nullptr;

namespace {

using tbox::client::call;

KyPm *g_pmProxy = nullptr;
GString *g_pmModuleName = nullptr;  // the first successful InitPmClient's name; kept for the process

const char *name() {
    return g_pmModuleName->str;
}

bool ready() {
    if (g_pmProxy != nullptr) return true;
    TBOX_LOG(warn, "PM Client not init\n");
    return false;
}

// A sleep event that may go on the wire: present and UTF-8.
bool sendable(const char *sleepEvent) {
    if (sleepEvent == nullptr) {
        TBOX_LOG(err, "sleepEvent is NULL,Please provide one\n");
        return false;
    }
    if (!tbox::client::is_utf8(sleepEvent)) {
        TBOX_LOG(err, "ModuleName[%s] sleepEvent is not UTF-8\n", name());
        return false;
    }
    return true;
}

void handle_pm_state_change(KyPm * /*proxy*/, guchar powerState, guchar wakeupSource, gint sleepAlarmEventId,
                            gpointer /*userData*/) {
    if (g_pmStateChangedCBack == nullptr) return;
    TBOX_LOG(debug,
             "ModuleName[%s] Get PM StateChanged Signal,and callback. state[%d],wakeupSource[%d] "
             "sleepAlarmEventId[%d]\n",
             name(), powerState, wakeupSource, sleepAlarmEventId);
    g_pmStateChangedCBack(powerState, wakeupSource, sleepAlarmEventId);
    // spelled as the box's services and peers match it; do not correct
    TBOX_LOG(debug, "ModuleName[%s] PM StateChanged CallBack Finsh\n", name());
}

void handle_gsensor_wake_up(KyPm * /*proxy*/, gpointer /*userData*/) {
    if (g_pmGsensorWakeUpCBack == nullptr) return;
    g_pmGsensorWakeUpCBack();
    // spelled as the box's services and peers match it; do not correct
    TBOX_LOG(debug, "PM Gsensor WakeUp CallBack Finsh\n");
}

}  // namespace

int InitPmClient(const char *moduleName) {
    if (g_pmProxy != nullptr) {
        TBOX_LOG(warn, "Pm Client Has Init. Cur moduleName[%s]\n", name());
        return 0;
    }
    if (moduleName == nullptr) {
        TBOX_LOG(warn, "moduleName is NULL,Please provide one\n");
        return -1;
    }
    g_pmProxy =
        tbox::client::open_proxy(ky_pm_proxy_new_for_bus_sync, "ky.pm", "/ky/pm",
                                 TBOX_REPORT_PRINT("Error:new proxy PM Error.ModuleName:[%s],Err:[%s]\n", moduleName));
    if (g_pmProxy == nullptr) return -1;
    g_pmModuleName = g_string_new(moduleName);
    tbox::client::connect(g_pmProxy, "power_state_changed", G_CALLBACK(handle_pm_state_change));
    tbox::client::connect(g_pmProxy, "gsensor_wake_up", G_CALLBACK(handle_gsensor_wake_up));
    TBOX_LOG(info, "PM Client Init Success.ModuleName[%s]\n", name());
    return 0;
}

int GetPmState(void) {
    if (!ready()) return -1;
    guchar state = 0;
    if (!call(TBOX_REPORT_LOG(err, "ModuleName[%s] GetPmState RPC Error[%s]\n", name()),
              ky_pm_call_get_power_state_sync, g_pmProxy, &state)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] GetPmState OK:PmState[%d]\n", name(), state);
    return state;
}

int GetPmWakeUpSource(void) {
    if (!ready()) return -1;
    guchar source = 0;
    if (!call(TBOX_REPORT_LOG(err, "ModuleName[%s] GetPmWakeUpSource RPC Error[%s]\n", name()),
              ky_pm_call_get_wake_up_source_sync, g_pmProxy, &source)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] GetPmWakeUpSource OK:WakeUpSource[%d]\n", name(), source);
    return source;
}

int GetMcuHeartbeatStatus(void) {
    if (!ready()) return -1;
    gint heartbeat = 0;
    if (!call(TBOX_REPORT_LOG(err, "ModuleName[%s] GetMcuHeartbeatStatus RPC Error[%s]\n", name()),
              ky_pm_call_get_mcu_heartbeat_sync, g_pmProxy, &heartbeat)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] GetMcuHeartbeatStatus OK:McuHeartbeat[%d]\n", name(), heartbeat);
    return heartbeat;
}

int Wakeup(int wakeupSource) {
    if (!ready()) return -1;
    TBOX_LOG(debug, "wakeup system");
    if (!call([](const char *) { TBOX_LOG(debug, "ModuleName[%s] wakeup RPC error", name()); }, ky_pm_call_wakeup_sync,
              g_pmProxy, wakeupSource)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] wakeup RPC OK:", name());
    return 0;
}

int SetSleepEvent(const char *sleepEvent) {
    if (!ready() || !sendable(sleepEvent)) return -1;
    if (!call(TBOX_REPORT_LOG(err, "ModuleName[%s] DisableSleep(sleelEvent:%s) RPC Error[%s] \n", name(), sleepEvent),
              ky_pm_call_set_sleep_event_sync, g_pmProxy, sleepEvent)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] DisableSleep OK:sleepEvent[%s]\n", name(), sleepEvent);
    return 0;
}

int CleanSleepEvent(const char *sleepEvent) {
    if (!ready() || !sendable(sleepEvent)) return -1;
    if (!call(TBOX_REPORT_LOG(err, "ModuleName[%s] EnableSleep(sleelEvent:%s) RPC Error[%s] \n", name(), sleepEvent),
              ky_pm_call_clean_sleep_event_sync, g_pmProxy, sleepEvent)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] EnableSleep OK:sleepEvent[%s]\n", name(), sleepEvent);
    return 0;
}

int CreateSleepAlarm(int sleepAlarmTimeOut, int sleepAlarmEventId) {
    if (!ready()) return -1;
    if (!call(TBOX_REPORT_LOG(err, "ModuleName[%s] CreateSleepAlarm Failed,EventId[%d]-Err[%s]\n", name(),
                              sleepAlarmEventId),
              ky_pm_call_create_sleep_alarm_sync, g_pmProxy, sleepAlarmTimeOut, sleepAlarmEventId)) {
        return -1;
    }
    TBOX_LOG(debug, "ModuleName[%s] CreateSleepAlarm Success,EventId[%d]\n", name(), sleepAlarmEventId);
    return 0;
}

void DeleteSleepAlarm(int sleepAlarmEventId) {
    if (!ready()) return;
    if (call(TBOX_REPORT_LOG(err, "ModuleName[%s] DeleteSleepAlarm Failed,sleepAlarmEventId[%d]-Err[%s]\n", name(),
                             sleepAlarmEventId),
             ky_pm_call_delete_sleep_alarm_sync, g_pmProxy, sleepAlarmEventId)) {
        TBOX_LOG(debug, "ModuleName[%s] DeleteSleepAlarm Success,sleepAlarmEventId[%d]\n", name(), sleepAlarmEventId);
    }
}

int RegisterPmStateChangeCBack(PmStateChangedCBack callback) {
    if (!ready()) return -1;
    if (g_pmStateChangedCBack != nullptr) {
        TBOX_LOG(warn, "PM StateChanged CallBack has register,Cur ModuleName[%s] \n", name());
        return -1;
    }
    if (callback == nullptr) {
        TBOX_LOG(err, "PmStateChangedCBack is NULL,Please provide one\n");
        return -1;
    }
    g_pmStateChangedCBack = callback;
    TBOX_LOG(debug, "ModuleName[%s] Register PmStateChange Callback success.\n", name());
    return 0;
}

int RegisterPmGsensorWakeUpCBack(PmGsensorWakeUpCBack callback) {
    if (!ready()) return -1;
    if (g_pmGsensorWakeUpCBack != nullptr) {
        TBOX_LOG(warn, "PM Gsensor WakeUp CallBack has registe \n");
        return -1;
    }
    if (callback == nullptr) {
        TBOX_LOG(err, "PM Gsensor WakeUp is NULL,Please provide one\n");
        return -1;
    }
    g_pmGsensorWakeUpCBack = callback;
    TBOX_LOG(debug, "Register PM Gsensor WakeUp Callback success.\n");
    return 0;
}
