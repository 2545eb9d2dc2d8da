// ky.net: data-connection profiles 1-14, each with a dial status, an IP address and a quality.
// Dial status: 0 disconnected, 1 connected. Bringing a profile up or down emits NetStatus(up).
#include <tbox/net_gdbus.h>

#include <array>

#include "sim.h"

namespace tbox::sim {
namespace {

constexpr int kProfiles = 14;
constexpr int kDisconnected = 0;
constexpr int kConnected = 1;

class NetService : public Service {
public:
    explicit NetService(Hub &hub) : Service(hub), skeleton_(ky_net_skeleton_new()) {
        profiles_[0] = {kConnected, "10.64.21.117", 4};
        profiles_[1] = {kConnected, "10.72.3.9", 4};
        g_signal_connect(skeleton_.get(), "handle-get-net-status",
                         handler(+[](KyNet *o, GDBusMethodInvocation *inv, gint index, gpointer self) -> gboolean {
                             const Profile *p = static_cast<NetService *>(self)->profile(index, inv);
                             if (p != nullptr) ky_net_complete_get_net_status(o, inv, p->status);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(skeleton_.get(), "handle-get-net-quality",
                         handler(+[](KyNet *o, GDBusMethodInvocation *inv, gint index, gpointer self) -> gboolean {
                             const Profile *p = static_cast<NetService *>(self)->profile(index, inv);
                             if (p != nullptr) ky_net_complete_get_net_quality(o, inv, p->quality);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(skeleton_.get(), "handle-get-net-ip",
                         handler(+[](KyNet *o, GDBusMethodInvocation *inv, gint index, gpointer self) -> gboolean {
                             const Profile *p = static_cast<NetService *>(self)->profile(index, inv);
                             if (p != nullptr) ky_net_complete_get_net_ip(o, inv, p->ip.c_str());
                             return TRUE;
                         }),
                         this);
        on("up", "profile:i ip:s?", "connects a profile (default IP 10.64.0.<profile>) and emits NetStatus(true)",
           [this](const Args &a) -> std::string {
               if (!valid(a.integer(0))) return range_error(a.integer(0));
               const std::string ip = a.has(1) ? a.text(1) : "10.64.0." + std::to_string(a.integer(0));
               if (!g_hostname_is_ip_address(ip.c_str())) return "\"" + ip + "\" is not an IP address";
               profiles_[a.integer(0) - 1] = {kConnected, ip, 4};
               ky_net_emit_net_status(skeleton_.get(), TRUE);
               return "";
           });
        on("down", "profile:i", "disconnects a profile (no IP) and emits NetStatus(false)",
           [this](const Args &a) -> std::string {
               if (!valid(a.integer(0))) return range_error(a.integer(0));
               profiles_[a.integer(0) - 1] = {kDisconnected, "", 0};
               ky_net_emit_net_status(skeleton_.get(), FALSE);
               return "";
           });
        on("quality", "profile:i value:i", "sets what GetNetQuality answers for a profile",
           [this](const Args &a) -> std::string {
               if (!valid(a.integer(0))) return range_error(a.integer(0));
               profiles_[a.integer(0) - 1].quality = a.integer(1);
               return "";
           });
    }
    const char *prefix() const override { return "net"; }
    const char *bus_name() const override { return "ky.net"; }
    const char *object_path() const override { return "/ky/net"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    struct Profile {
        int status = kDisconnected;
        std::string ip;
        int quality = 0;
    };
    static bool valid(int index) { return index >= 1 && index <= kProfiles; }
    static std::string range_error(int index) { return "profile " + std::to_string(index) + " is outside 1-14"; }

    const Profile *profile(int index, GDBusMethodInvocation *invocation) const {
        if (valid(index)) return &profiles_[index - 1];
        refuse(invocation, "ky.net.Error.InvalidProfile", range_error(index));
        return nullptr;
    }

    GObjectPtr<KyNet> skeleton_;
    std::array<Profile, kProfiles> profiles_{};
};

}  // namespace

std::unique_ptr<Service> make_net_service(Hub &hub) {
    return std::make_unique<NetService>(hub);
}

}  // namespace tbox::sim
