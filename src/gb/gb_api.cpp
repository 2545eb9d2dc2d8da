#include "tbox/gb.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/dbus_client.h"
#include "common/log.h"

GbRealDataCBack g_gbRealDataCBack = nullptr;

namespace {

KyGbreal *g_gbProxy = nullptr;

void handle_gb_real_data(KyGbreal * /*proxy*/, gint recvDataLen, GVariant *recvData, gpointer /*userData*/) {
    if (g_gbRealDataCBack == nullptr) return;
    gsize count = 0;
    const auto *bytes = static_cast<const uint8_t *>(g_variant_get_fixed_array(recvData, &count, 1));
    if (count == 0) {
        TBOX_LOG(warn, "Get GbRealData  Error\n");
        return;
    }
    std::vector<uint8_t> buffer(std::max<size_t>(GB_RECORD_BUFFER_SIZE, count), 0);
    if (recvDataLen < 0 || static_cast<size_t>(recvDataLen) > buffer.size()) {
        TBOX_LOG(warn, "Drop GbRealData: recvDataLen[%d] outside the %zu-byte buffer of a %zu-byte record\n",
                 recvDataLen, buffer.size(), static_cast<size_t>(count));
        return;
    }
    std::memcpy(buffer.data(), bytes, count);
    TBOX_LOG(debug, "Call GbRealData Call Back\n");
    g_gbRealDataCBack(recvDataLen, buffer.data());
}

}  // namespace

int InitGbRealDataClient(GbRealDataCBack callback) {
    if (callback == nullptr) {
        TBOX_LOG(warn, "GbRecvRealDataCBack is NULL\n");
        return -1;
    }
    if (g_gbProxy != nullptr) {
        TBOX_LOG(warn, "GbRealData Client has init\n");
        return 0;
    }
    g_gbProxy = tbox::client::open_proxy(ky_gbreal_proxy_new_for_bus_sync, "ky.gbreal", "/ky/gbreal",
                                         TBOX_REPORT_LOG(err, "Error:new proxy for GbReal[%s]\n"));
    if (g_gbProxy == nullptr) return -1;
    tbox::client::connect(g_gbProxy, "gb-real-data", G_CALLBACK(handle_gb_real_data));
    g_gbRealDataCBack = callback;
    TBOX_LOG(info, "GbRealData Client Init Success\n");
    return 0;
}

int IsAlarm(void) {
    return g_gbProxy != nullptr && ky_gbreal_get_alarm_state(static_cast<KyGbreal *>(tbox::client::current(g_gbProxy)))
               ? 1
               : 0;
}

int GetKL15AndChargingStatus(int32_t *kl15Status, int32_t *chargingStatus) {
    if (kl15Status == nullptr || chargingStatus == nullptr) return -1;
    const bool ok = tbox::client::call(tbox::client::no_report, ky_gbreal_call_get_kl15_and_charging_status_sync,
                                       g_gbProxy, kl15Status, chargingStatus);
    return ok ? 0 : -1;
}
