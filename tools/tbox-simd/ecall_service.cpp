// ky.ecall: emergency-call status as (state, trigger): state 0 idle, 1 calling, 2 connected, 3 ended;
// trigger 0 none, 1 manual (SOS button), 2 automatic (crash). ClearEcallStatue returns it to (0, 0).
#include <tbox/ecall_gdbus.h>

#include "sim.h"

namespace tbox::sim {
namespace {

class EcallService : public Service {
public:
    explicit EcallService(Hub &hub) : Service(hub), skeleton_(ky_ecall_skeleton_new()) {
        g_signal_connect(skeleton_.get(), "handle-get-ecall-statue",
                         handler(+[](KyEcall *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             const auto *e = static_cast<EcallService *>(self);
                             ky_ecall_complete_get_ecall_statue(o, inv, g_variant_new("(ii)", e->state_, e->trigger_));
                             return TRUE;
                         }),
                         this);
        g_signal_connect(skeleton_.get(), "handle-clear-ecall-statue",
                         handler(+[](KyEcall *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *e = static_cast<EcallService *>(self);
                             e->state_ = e->trigger_ = 0;
                             ky_ecall_complete_clear_ecall_statue(o, inv);
                             return TRUE;
                         }),
                         this);
        on("call", "state:i trigger:i?", "sets the status (trigger defaults to 1) and emits EcallBroadcast(state)",
           [this](const Args &a) {
               if (a.integer(0) < 0 || a.integer(0) > 3) return "state must be 0-3";
               state_ = a.integer(0);
               if (a.has(1))
                   trigger_ = a.integer(1);
               else if (trigger_ == 0)
                   trigger_ = 1;
               ky_ecall_emit_ecall_broadcast(skeleton_.get(), state_);
               return "";
           });
    }
    const char *prefix() const override { return "ecall"; }
    const char *bus_name() const override { return "ky.ecall"; }
    const char *object_path() const override { return "/ky/ecall"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    GObjectPtr<KyEcall> skeleton_;
    int state_ = 0;
    int trigger_ = 0;
};

}  // namespace

std::unique_ptr<Service> make_ecall_service(Hub &hub) {
    return std::make_unique<EcallService>(hub);
}

}  // namespace tbox::sim
