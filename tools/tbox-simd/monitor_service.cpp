// ky.monitor: registered processes (pid, name, kind), the last task status reported, and the alarm
// module that GetAlarmModule answers (0: none). The scenario asks a process for its status
// (getProcessStatus) or drops it (DeleteMonitorProcessNode).
#include <tbox/monitor_gdbus.h>

#include <map>

#include "sim.h"

namespace tbox::sim {
namespace {

class MonitorService : public Service {
public:
    explicit MonitorService(Hub &hub) : Service(hub), skeleton_(ky_monitor_skeleton_new()) {
        auto *sk = skeleton_.get();
        g_signal_connect(
            sk, "handle-register-monitor-process",
            handler(+[](KyMonitor *o, GDBusMethodInvocation *inv, GVariant *value, gpointer self) -> gboolean {
                gint pid = 0;
                const gchar *name = nullptr;
                guchar kind = 0;
                g_variant_get(value, "(i&sy)", &pid, &name, &kind);
                if (pid <= 0) return refuse(inv, "ky.monitor.Error.InvalidPid", "pid must be positive");
                if (*name == '\0') return refuse(inv, "ky.monitor.Error.InvalidName", "empty process name");
                static_cast<MonitorService *>(self)->processes_[pid] = {name, kind};
                ky_monitor_complete_register_monitor_process(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(
            sk, "handle-un-register-monitor-process",
            handler(+[](KyMonitor *o, GDBusMethodInvocation *inv, GVariant *value, gpointer self) -> gboolean {
                gint pid = 0;
                const gchar *name = nullptr;
                guchar kind = 0;
                g_variant_get(value, "(i&sy)", &pid, &name, &kind);
                if (static_cast<MonitorService *>(self)->processes_.erase(pid) == 0)
                    return refuse(inv, "ky.monitor.Error.NotRegistered",
                                  "pid " + std::to_string(pid) + " is not registered");
                ky_monitor_complete_un_register_monitor_process(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(
            sk, "handle-set-monitor-process-status",
            handler(+[](KyMonitor *o, GDBusMethodInvocation *inv, guchar status, gpointer self) -> gboolean {
                static_cast<MonitorService *>(self)->last_status_ = status;
                ky_monitor_complete_set_monitor_process_status(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(sk, "handle-get-alarm-module",
                         handler(+[](KyMonitor *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_monitor_complete_get_alarm_module(o, inv,
                                                                  static_cast<MonitorService *>(self)->alarm_module_);
                             return TRUE;
                         }),
                         this);
        on("query", "pid:i", "emits getProcessStatus(pid) for a registered process", [this](const Args &a) {
            if (processes_.count(a.integer(0)) == 0) return "pid is not registered";
            ky_monitor_emit_get_process_status(skeleton_.get(), a.integer(0));
            return "";
        });
        on("delete", "pid:i", "drops a registered process and emits DeleteMonitorProcessNode(pid)",
           [this](const Args &a) {
               if (processes_.erase(a.integer(0)) == 0) return "pid is not registered";
               ky_monitor_emit_delete_monitor_process_node(skeleton_.get(), a.integer(0));
               return "";
           });
        on("alarm", "module:i", "sets what GetAlarmModule answers", [this](const Args &a) {
            alarm_module_ = a.integer(0);
            return "";
        });
    }
    const char *prefix() const override { return "monitor"; }
    const char *bus_name() const override { return "ky.monitor"; }
    const char *object_path() const override { return "/ky/monitor"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    struct Process {
        std::string name;
        guchar kind;
    };
    GObjectPtr<KyMonitor> skeleton_;
    std::map<int, Process> processes_;
    guchar last_status_ = 0;
    int alarm_module_ = 0;
};

}  // namespace

std::unique_ptr<Service> make_monitor_service(Hub &hub) {
    return std::make_unique<MonitorService>(hub);
}

}  // namespace tbox::sim
