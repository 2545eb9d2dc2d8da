#include "tbox/wifi.h"

#include <cstddef>
#include <cstring>

#include "common/dbus_client.h"

static_assert(offsetof(WiFiApInfo, ssid) == 0 && offsetof(WiFiApInfo, passwd) == 32);
static_assert(offsetof(WiFiApInfo, value) == 64 && sizeof(WiFiApInfo) == 68);

namespace {

using tbox::client::call;

KyWifi *g_wifiProxy = nullptr;

constexpr int kDisableEnableFailure = 255;

// The common shape: one call, its success line (if any) printed, 0 or the failure result.
template <typename Report, typename Fn, typename... Args>
int wifi_call(Report &&report, const char *success, int failure, Fn fn, Args... args) {
    if (!call(report, fn, g_wifiProxy, args...)) return failure;
    if (success != nullptr) g_print("%s", success);
    return 0;
}

}  // namespace

int InitWifiInterface(void) {
    if (g_wifiProxy != nullptr) return -1;
    g_wifiProxy = tbox::client::open_proxy(ky_wifi_proxy_new_for_bus_sync, "ky.wifi", "/ky/wifi",
                                           TBOX_REPORT_PRINT("Error:new proxy for wifi[%s]\n"));
    return g_wifiProxy != nullptr ? 0 : -1;
}

int ClientGetWifiStatus(void) {
    gint status = 0;
    if (!call(TBOX_REPORT_PRINT("get WifiStatus error:%s\n"), ky_wifi_call_get_wifi_status_sync, g_wifiProxy,
              &status)) {
        return -1;
    }
    g_print("get WifiStatus success:%d\n", status);
    return status;
}

int SetWiFiMode(int mode) {
    return wifi_call(TBOX_REPORT_PRINT("set wifiMode error:%s\n"), nullptr, -1, ky_wifi_call_set_wifi_mode_sync, mode);
}

int DisableWifi(void) {
    return wifi_call(TBOX_REPORT_PRINT("disable wifi error:%s\n"), "disable wifi ok\n", kDisableEnableFailure,
                     ky_wifi_call_disable_wifi_sync);
}

int EnableWiFi(void) {
    // spelled as the box's services and peers match it; do not correct
    return wifi_call(TBOX_REPORT_PRINT("enable wifi error:%s\n"), "enable wifi succes\n", kDisableEnableFailure,
                     ky_wifi_call_enable_wifi_sync);
}

int GetWiFiApInfo(WiFiApInfo *info) {
    if (info == nullptr) return -1;
    GVariant *raw = nullptr;
    if (!call(TBOX_REPORT_PRINT("get wifi apinfo error:%s\n"), ky_wifi_call_get_wifi_ap_info_sync, g_wifiProxy, &raw)) {
        return -1;
    }
    const tbox::GVariantPtr answer(raw);
    const char *ssid = nullptr;
    const char *passwd = nullptr;
    gint32 value = 0;
    g_variant_get(answer.get(), "(&s&si)", &ssid, &passwd, &value);
    const size_t ssid_length = std::strlen(ssid);
    const size_t passwd_length = std::strlen(passwd);
    if (ssid_length >= WIFI_AP_TEXT_SIZE || passwd_length >= WIFI_AP_TEXT_SIZE) {
        g_print("get wifi apinfo error:%s longer than 31 characters\n",
                ssid_length >= WIFI_AP_TEXT_SIZE ? "ssid" : "passwd");
        return -1;
    }
    info->value = value;
    std::memcpy(info->ssid, ssid, ssid_length + 1);
    std::memcpy(info->passwd, passwd, passwd_length + 1);
    g_print("get wifi apinfo sucess:%s%s\n", ssid, passwd);
    return 0;
}

int SetWiFiApInfo(const WiFiApInfo *info, int mask) {
    if (g_wifiProxy == nullptr || info == nullptr) return -1;
    for (const auto *field : {&info->ssid, &info->passwd}) {
        const char *name = field == &info->ssid ? "ssid" : "passwd";
        if (std::memchr(*field, '\0', sizeof *field) == nullptr) {
            g_print("set wifi apinfo  error:%s has no terminator within 32 bytes\n", name);
            return -1;
        }
        if (!tbox::client::is_utf8(*field)) {
            g_print("set wifi apinfo  error:%s is not UTF-8\n", name);
            return -1;
        }
    }
    return wifi_call(TBOX_REPORT_PRINT("set wifi apinfo  error:%s\n"), "set wifi apinfo  ok!\n", -1,
                     ky_wifi_call_set_wifi_ap_info_sync,
                     g_variant_new("(ssi)", info->ssid, info->passwd, static_cast<gint32>(info->value)), mask);
}

int StopWiFiAp(void) {
    return wifi_call(TBOX_REPORT_PRINT("stop wifi error:%s\n"), nullptr, -1, ky_wifi_call_stop_wifi_ap_sync);
}

int StartWiFiAp(void) {
    return wifi_call(TBOX_REPORT_PRINT("start wifi error:%s\n"), nullptr, -1, ky_wifi_call_start_wifi_ap_sync);
}

int StopWiFiSta(void) {
    return wifi_call(TBOX_REPORT_PRINT("stop wifi sta error:%s\n"), nullptr, -1, ky_wifi_call_stop_wifi_sta_sync);
}

int StartWiFiSta(void) {
    return wifi_call(TBOX_REPORT_PRINT("start wifi error:%s\n"), nullptr, -1, ky_wifi_call_start_wifi_sta_sync);
}

int ConnectWiFiStaToApp(const char *ssid, const char *passwd) {
    if (g_wifiProxy == nullptr || ssid == nullptr || passwd == nullptr) return -1;
    if (!tbox::client::is_utf8(ssid) || !tbox::client::is_utf8(passwd)) {
        g_print("connection wifi error:%s is not UTF-8\n", tbox::client::is_utf8(ssid) ? "passwd" : "ssid");
        return -1;
    }
    return wifi_call(TBOX_REPORT_PRINT("connection wifi error:%s\n"), "connection wifi ok\n", -1,
                     ky_wifi_call_connet_wifi_sta_to_ap_sync, ssid, passwd);
}
