#include "tbox/gnss.h"

#include <atomic>

#include "common/dbus_client.h"

namespace {

KyGnss *g_gnssProxy = nullptr;
GnssNmeaCallback g_nmeaCallback = nullptr;
GnssRecordCallback g_recordCallback = nullptr;
// Written by the signal handler in the application's main-loop thread, read from any thread.
std::atomic<int32_t> g_forceSync{1};

void set_force_sync_flag(int32_t flag) {
    g_forceSync.store(flag);
}

void unpack(GVariant *tuple, GnssRecord *record) {
    int32_t *f = record->field;
    g_variant_get(tuple, "(iiiiiiiiii)", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]);
}

void handle_signal_gnss_nmea(KyGnss * /*proxy*/, const gchar *text, gpointer /*userData*/) {
    if (g_nmeaCallback != nullptr) g_nmeaCallback(text);
}

void handle_signal_gnss_parsered(KyGnss * /*proxy*/, GVariant *value, gpointer /*userData*/) {
    if (g_recordCallback == nullptr) return;
    GnssRecord record;
    unpack(value, &record);
    g_recordCallback(&record);
}

void handle_gps_sync_time(KyGnss * /*proxy*/, gint value, gpointer /*userData*/) {
    set_force_sync_flag(value);
}

}  // namespace

uint8_t InitGNSSInterface(GnssNmeaCallback nmeaCallback, GnssRecordCallback recordCallback) {
    if (g_gnssProxy != nullptr) return 0;
    g_gnssProxy = tbox::client::open_proxy(ky_gnss_proxy_new_for_bus_sync, "ky.gnss", "/ky/gnss",
                                           TBOX_REPORT_PRINT("Error:new proxy for gnss[%s]\n"));
    if (g_gnssProxy == nullptr) return 255;
    g_nmeaCallback = nmeaCallback;
    g_recordCallback = recordCallback;
    // spelled as the box's services and peers match it; do not correct
    tbox::client::connect(g_gnssProxy, "gps-orignal-update", G_CALLBACK(handle_signal_gnss_nmea));
    tbox::client::connect(g_gnssProxy, "gps-parsered-update", G_CALLBACK(handle_signal_gnss_parsered));
    tbox::client::connect(g_gnssProxy, "gps-sync-time", G_CALLBACK(handle_gps_sync_time));
    return 0;
}

bool GetGpsData(GnssRecord *record) {
    if (record == nullptr) return false;
    GVariant *raw = nullptr;
    if (!tbox::client::call(TBOX_REPORT_PRINT("get param error:%s\n"), ky_gnss_call_get_gps_data_sync, g_gnssProxy,
                            &raw)) {
        return false;
    }
    const tbox::GVariantPtr value(raw);
    g_print("get param success\n");
    unpack(value.get(), record);
    return true;
}

int32_t GetForceSyncFlag(void) {
    return g_forceSync.load();
}
