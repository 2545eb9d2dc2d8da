// ky.wifi: Wi-Fi on/off, a mode, an access point with its record (ssid, password, security) and a
// station that connects to a network. Status: 0 off, 1 on and idle, 2 access point running,
// 3 station connected, 4 both.
#include <tbox/wifi_gdbus.h>

#include <cstring>

#include "sim.h"

namespace tbox::sim {
namespace {

constexpr int kFieldRoom = 31;  // the client's record holds 31 characters and a NUL per text

class WifiService : public Service {
public:
    explicit WifiService(Hub &hub) : Service(hub), skeleton_(ky_wifi_skeleton_new()) {
        auto *sk = skeleton_.get();
        g_signal_connect(sk, "handle-get-wifi-status",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_wifi_complete_get_wifi_status(o, inv, static_cast<WifiService *>(self)->status());
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-set-wifi-mode",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gint mode, gpointer self) -> gboolean {
                             // 0 access point, 1 station, 2 both.
                             if (mode < 0 || mode > 2)
                                 return refuse(inv, "ky.wifi.Error.InvalidMode", "mode must be 0-2");
                             static_cast<WifiService *>(self)->mode_ = mode;
                             ky_wifi_complete_set_wifi_mode(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-enable-wifi",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             static_cast<WifiService *>(self)->enabled_ = true;
                             ky_wifi_complete_enable_wifi(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-disable-wifi",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *w = static_cast<WifiService *>(self);
                             w->enabled_ = w->ap_running_ = w->sta_running_ = false;
                             w->connected_ssid_.clear();
                             ky_wifi_complete_disable_wifi(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-wifi-ap-info",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             const auto *w = static_cast<WifiService *>(self);
                             ky_wifi_complete_get_wifi_ap_info(
                                 o, inv, g_variant_new("(ssi)", w->ssid_.c_str(), w->password_.c_str(), w->security_));
                             return TRUE;
                         }),
                         this);
        g_signal_connect(
            sk, "handle-set-wifi-ap-info",
            handler(+[](KyWifi *o, GDBusMethodInvocation *inv, GVariant *info, gint mask, gpointer self) -> gboolean {
                auto *w = static_cast<WifiService *>(self);
                const gchar *ssid = nullptr, *password = nullptr;
                gint security = 0;
                g_variant_get(info, "(&s&si)", &ssid, &password, &security);
                const std::string error = check_ap(ssid, password, security);
                if (!error.empty()) return refuse(inv, "ky.wifi.Error.InvalidApInfo", error);
                w->ssid_ = ssid;
                w->password_ = password;
                w->security_ = security;
                w->mask_ = mask;
                ky_wifi_complete_set_wifi_ap_info(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(sk, "handle-start-wifi-ap",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *w = static_cast<WifiService *>(self);
                             if (!w->enabled_) return refuse(inv, "ky.wifi.Error.Disabled", "Wi-Fi is off");
                             if (w->mode_ == 1) return refuse(inv, "ky.wifi.Error.WrongMode", "mode 1 is station only");
                             w->ap_running_ = true;
                             ky_wifi_complete_start_wifi_ap(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-stop-wifi-ap",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             static_cast<WifiService *>(self)->ap_running_ = false;
                             ky_wifi_complete_stop_wifi_ap(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-start-wifi-sta",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *w = static_cast<WifiService *>(self);
                             if (!w->enabled_) return refuse(inv, "ky.wifi.Error.Disabled", "Wi-Fi is off");
                             if (w->mode_ == 0)
                                 return refuse(inv, "ky.wifi.Error.WrongMode", "mode 0 is access point only");
                             w->sta_running_ = true;
                             ky_wifi_complete_start_wifi_sta(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-stop-wifi-sta",
                         handler(+[](KyWifi *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *w = static_cast<WifiService *>(self);
                             w->sta_running_ = false;
                             w->connected_ssid_.clear();
                             ky_wifi_complete_stop_wifi_sta(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(
            sk, "handle-connet-wifi-sta-to-ap",
            handler(+[](KyWifi *o, GDBusMethodInvocation *inv, const gchar *ssid, const gchar *passwd,
                        gpointer self) -> gboolean {
                auto *w = static_cast<WifiService *>(self);
                if (!w->sta_running_) return refuse(inv, "ky.wifi.Error.StationOff", "station not started");
                const size_t n = std::strlen(ssid), p = std::strlen(passwd);
                if (n == 0 || n > 32) return refuse(inv, "ky.wifi.Error.InvalidSsid", "ssid takes 1-32 characters");
                if (p != 0 && (p < 8 || p > 63))
                    return refuse(inv, "ky.wifi.Error.InvalidPassword", "password takes 8-63 characters (or none)");
                if (w->reachable_ != ssid)
                    return refuse(inv, "ky.wifi.Error.NotFound", std::string("no network \"") + ssid + "\" in range");
                w->connected_ssid_ = ssid;
                ky_wifi_complete_connet_wifi_sta_to_ap(o, inv);
                return TRUE;
            }),
            this);
        on("network", "ssid:s", "makes a network reachable for ConnetWifiStaToAp (default \"depot-wlan\")",
           [this](const Args &a) {
               reachable_ = a.text(0);
               return "";
           });
        on("sta-lost", "", "the station loses its network", [this](const Args &) {
            connected_ssid_.clear();
            return "";
        });
    }
    const char *prefix() const override { return "wifi"; }
    const char *bus_name() const override { return "ky.wifi"; }
    const char *object_path() const override { return "/ky/wifi"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    static std::string check_ap(const std::string &ssid, const std::string &password, int security) {
        if (ssid.empty() || ssid.size() > kFieldRoom) return "ssid takes 1-31 characters";
        if (security < 0 || security > 2) return "security must be 0 (open), 1 (WPA2) or 2 (WPA2/WPA3)";
        if (security == 0 && !password.empty()) return "an open network takes no password";
        if (security != 0 && (password.size() < 8 || password.size() > kFieldRoom))
            return "password takes 8-31 characters";
        return "";
    }

    int status() const {
        if (!enabled_) return 0;
        const bool connected = sta_running_ && !connected_ssid_.empty();
        if (ap_running_ && connected) return 4;
        if (connected) return 3;
        if (ap_running_) return 2;
        return 1;
    }

    GObjectPtr<KyWifi> skeleton_;
    bool enabled_ = false;
    int mode_ = 0;
    std::string ssid_ = "TBOX-SIM";
    std::string password_ = "tbox1234";
    int security_ = 1;
    int mask_ = 0;
    bool ap_running_ = false;
    bool sta_running_ = false;
    std::string reachable_ = "depot-wlan";
    std::string connected_ssid_;
};

}  // namespace

std::unique_ptr<Service> make_wifi_service(Hub &hub) {
    return std::make_unique<WifiService>(hub);
}

}  // namespace tbox::sim
