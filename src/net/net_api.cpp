#include "tbox/net.h"

#include <cstring>

#include "common/dbus_client.h"
#include "common/log.h"

namespace {

using tbox::client::call;

constexpr int kCachedProfiles = 2;  // profiles 1 and 2, in slots 0 and 1

KyNet *g_netProxy = nullptr;
int g_dialStatus[kCachedProfiles] = {0, 0};  // last dial status read per slot
NetWorkStatusChangeCBack g_statusCallback = nullptr;

int check_profile_index_validity(int profileIndex) {
    return profileIndex >= NET_PROFILE_FIRST && profileIndex <= NET_PROFILE_LAST ? 0 : ERR_NET_PROFILE_INDEX_INVALID;
}

}  // namespace

int InitNetInterface(void) {
    TBOX_LOG(info, "InitNetInterface >>>>>>> \n");
    if (g_netProxy != nullptr) return -1;
    g_netProxy = tbox::client::open_proxy(ky_net_proxy_new_for_bus_sync, "ky.net", "/ky/net",
                                          TBOX_REPORT_LOG(err, "[NET] init dbus proxy error: %s \n"));
    if (g_netProxy == nullptr) return -1;
    // spelled as the box's services and peers match it; do not correct
    TBOX_LOG(info, "[NET] init dbus proxy succes! \n");
    tbox::client::connect(g_netProxy, "net-status", G_CALLBACK(NetStatusChange));
    return 0;
}

int GetNetWorkStatus(int profileIndex) {
    if (check_profile_index_validity(profileIndex) != 0) {
        TBOX_LOG(err, "ERR_NET_PROFILE_INDEX_INVALID\n");
        return ERR_NET_PROFILE_INDEX_INVALID;
    }
    if (g_netProxy == nullptr) {
        TBOX_LOG(err, "NET Client not init\n");
        return -1;
    }
    gint status = 0;
    if (!call([](const char *) { TBOX_LOG(err, "GET NET STATUS ERR\n"); }, ky_net_call_get_net_status_sync, g_netProxy,
              profileIndex, &status)) {
        return -1;
    }
    if (profileIndex <= kCachedProfiles) g_dialStatus[profileIndex - 1] = status;
    TBOX_LOG(debug, "profileIndex:%d,dialStatus:%d\n", profileIndex, status);
    return status;
}

int GetNetWorkIp(int profileIndex, char *pIp) {
    if (check_profile_index_validity(profileIndex) != 0) {
        TBOX_LOG(err, "ERR_NET_PROFILE_INDEX_INVALID\n");
        return ERR_NET_PROFILE_INDEX_INVALID;
    }
    if (pIp == nullptr) {
        TBOX_LOG(err, "pIp is invalid!\n");
        return -1;
    }
    if (g_netProxy == nullptr) {
        TBOX_LOG(err, "NET Client not init\n");
        return -1;
    }
    tbox::GCharOut ip;
    if (!call(TBOX_REPORT_LOG(err, "get [%d]ip error:%s\n", profileIndex), ky_net_call_get_net_ip_sync, g_netProxy,
              profileIndex, ip.out())) {
        return -1;
    }
    const char *text = ip.get() != nullptr ? ip.get() : "";
    std::memcpy(pIp, text, std::strlen(text) + 1);
    return 0;
}

int RegisterNetWorkStatusChangeCBack(NetWorkStatusChangeCBack callback) {
    if (callback == nullptr) {
        TBOX_LOG(warn, "The Func Pointer is NULL\n");
        return -1;
    }
    if (g_statusCallback != nullptr) {
        TBOX_LOG(warn, "Net Status Change CallBack has Register,Don't repeat registration\n");
        return -1;
    }
    g_statusCallback = callback;
    TBOX_LOG(debug, "NetStatusChangeCBack OK\n");
    return 0;
}

void NetStatusChange(KyNet * /*proxy*/, gboolean /*value*/, gpointer /*userData*/) {
    // spelled as the box's services and peers match it; do not correct
    TBOX_LOG(debug, "NetWork Change Callback:[%d]\n", 0);
    for (int slot = 0; slot < kCachedProfiles; ++slot) {
        g_dialStatus[slot] = GetNetWorkStatus(slot + 1);
        if (g_statusCallback != nullptr) g_statusCallback(slot, g_dialStatus[slot]);
    }
}
