// The generated binding families on a private bus: catalogue, dispatch, signals, properties.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/pump.h"
#include "support/test_bus.h"
#include "tbox/at_gdbus.h"
#include "tbox/bt_gdbus.h"
#include "tbox/ecall_gdbus.h"
#include "tbox/gb_gdbus.h"
#include "tbox/gnss_gdbus.h"
#include "tbox/gsensor_gdbus.h"
#include "tbox/monitor_gdbus.h"
#include "tbox/net_gdbus.h"
#include "tbox/param_gdbus.h"
#include "tbox/pm_gdbus.h"
#include "tbox/upgrade_gdbus.h"
#include "tbox/wifi_gdbus.h"

using tbox::test::FakeService;
using tbox::test::SignalRecorder;

namespace {

// "Member(in-signature)(out-signature)" for methods, "Member(args)" for signals, "Name:type:access" for
// properties, in declaration order.
std::vector<std::string> describe(GDBusInterfaceInfo *info) {
    std::vector<std::string> out;
    auto sig = [](GDBusArgInfo **args) {
        std::string s = "(";
        for (GDBusArgInfo **a = args; a != nullptr && *a != nullptr; ++a) s += (*a)->signature;
        return s + ")";
    };
    for (GDBusMethodInfo **m = info->methods; m != nullptr && *m != nullptr; ++m)
        out.push_back(std::string((*m)->name) + sig((*m)->in_args) + sig((*m)->out_args));
    for (GDBusSignalInfo **s = info->signals; s != nullptr && *s != nullptr; ++s)
        out.push_back(std::string((*s)->name) + sig((*s)->args));
    for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p)
        out.push_back(std::string((*p)->name) + ":" + (*p)->signature + ":" +
                      ((*p)->flags == G_DBUS_PROPERTY_INFO_FLAGS_READABLE ? "read" : "other"));
    return out;
}

TEST(Catalogue, EveryInterfaceHasItsMembersSpelledAndTypedExactly) {
    const std::map<std::string, std::pair<GDBusInterfaceInfo *, std::vector<std::string>>> catalogue = {
        {"ky.at", {ky_at_interface_info(), {"SendAtCmd(ssi)(is)", "UrcBroadcast(ss)"}}},
        {"ky.bt",
         {ky_bt_interface_info(),
          {"GetBTName()(s)", "GetBTMac()(s)", "GetBTState()(i)", "GetBtLinkQuality()(ii)", "SetBtName(s)()",
           "SendBTData(ayq)()", "DisBleConnect()()", "StopBleFunc()()", "StartBleFunc()()", "SetBleKey(s)()",
           "DeleteBleKey(i)()", "GetBleKey()(s)", "BtRecvData(qay)", "BtStateChange(i)"}}},
        {"ky.ecall",
         {ky_ecall_interface_info(), {"GetEcallStatue()((ii))", "ClearEcallStatue()()", "EcallBroadcast(i)"}}},
        {"ky.gbreal",
         {ky_gbreal_interface_info(), {"GetKL15AndChargingStatus()(ii)", "GbRealData(iay)", "AlarmState:b:read"}}},
        {"ky.gnss",
         {ky_gnss_interface_info(),
          {"GetGpsData()((iiiiiiiiii))", "GpsOrignalUpdate(s)", "GpsParseredUpdate((iiiiiiiiii))", "GpsSyncTime(i)"}}},
        {"ky.gsensor",
         {ky_gsensor_interface_info(),
          {"SetRapidAccThreshold(di)()", "SetRapidDecelerationThreshold(di)()", "SetSuddenTurnThreshold(di)()",
           "SetXZeroValue(d)()", "SetXOffsetValue(y)()", "SetYZeroValue(d)()", "SetYOffsetValue(y)()",
           "SetZZeroValue(d)()", "SetZOffsetValue(y)()", "GetGsensorValue()((ddd))", "GsensorEventUpdate(y)",
           "TrailerAlarm(y)"}}},
        {"ky.monitor",
         {ky_monitor_interface_info(),
          {"SetMonitorProcessStatus(y)()", "UnRegisterMonitorProcess((isy))()", "RegisterMonitorProcess((isy))()",
           "GetAlarmModule()(i)", "getProcessStatus(i)", "DeleteMonitorProcessNode(i)"}}},
        {"ky.net",
         {ky_net_interface_info(), {"GetNetStatus(i)(i)", "GetNetQuality(i)(i)", "GetNetIp(i)(s)", "NetStatus(b)"}}},
        {"ky.param",
         {ky_param_interface_info(),
          {"SetParam(is)()", "SetParamMaxMin(iii)()", "GetParam(i)(s)", "GetParamType(i)(i)"}}},
        {"ky.pm",
         {ky_pm_interface_info(),
          {"GetMcuHeartbeat()(i)", "Wakeup(i)()", "GetPowerState()(y)", "GetWakeUpSource()(y)",
           "CreateSleepAlarm(ii)()", "DeleteSleepAlarm(i)()", "SetSleepEvent(s)()", "CleanSleepEvent(s)()",
           "PowerStateChanged(yyi)", "GsensorWakeUp()"}}},
        {"ky.update",
         {ky_update_interface_info(),
          {"BindUpgrade(i)()", "UnbindUpgrade(b)()", "GetBindId()(i)", "StartUpgrade(sy)(s)", "GetUpgradeStatus()(i)",
           "GetCanParserStatus()(i)"}}},
        {"ky.wifi",
         {ky_wifi_interface_info(),
          {"GetWifiStatus()(i)", "SetWifiMode(i)()", "DisableWifi()()", "EnableWifi()()", "GetWifiApInfo()((ssi))",
           "SetWifiApInfo((ssi)i)()", "StopWifiAp()()", "StartWifiAp()()", "StopWifiSta()()", "StartWifiSta()()",
           "ConnetWifiStaToAp(ss)()"}}},
    };
    size_t methods = 0, signals = 0, properties = 0;
    for (const auto &[name, entry] : catalogue) {
        GDBusInterfaceInfo *info = entry.first;
        EXPECT_EQ(std::string(info->name), name);
        EXPECT_EQ(describe(info), entry.second) << name;
        EXPECT_EQ(info->annotations == nullptr || info->annotations[0] == nullptr, true) << name;
        for (GDBusMethodInfo **m = info->methods; m && *m; ++m) ++methods;
        for (GDBusSignalInfo **s = info->signals; s && *s; ++s) ++signals;
        for (GDBusPropertyInfo **p = info->properties; p && *p; ++p) ++properties;
    }
    EXPECT_EQ(methods, 63u);
    EXPECT_EQ(signals, 15u);
    EXPECT_EQ(properties, 1u);
}

TEST(Catalogue, GObjectNamesFollowTheHyphenationRule) {
    // Instantiating the skeleton classes creates the interfaces' signals and property.
    for (GType t : {ky_bt_skeleton_get_type(), ky_gbreal_skeleton_get_type(), ky_gsensor_skeleton_get_type(),
                    ky_monitor_skeleton_get_type(), ky_gnss_skeleton_get_type(), ky_wifi_skeleton_get_type(),
                    ky_at_skeleton_get_type()}) {
        g_type_class_ref(t);
    }
    EXPECT_NE(g_signal_lookup("handle-get-btname", ky_bt_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("handle-get-kl15-and-charging-status", ky_gbreal_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("handle-set-xzero-value", ky_gsensor_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("get-process-status", ky_monitor_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("gps-orignal-update", ky_gnss_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("handle-connet-wifi-sta-to-ap", ky_wifi_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("urc-broadcast", ky_at_get_type()), 0u);
    EXPECT_STREQ(g_type_name(ky_at_proxy_get_type()), "KyAtProxy");
    EXPECT_STREQ(g_type_name(ky_gbreal_skeleton_get_type()), "KyGbrealSkeleton");
    EXPECT_STREQ(g_type_name(ky_update_get_type()), "KyUpdate");
    for (GType t : {ky_gbreal_skeleton_get_type(), ky_gbreal_proxy_get_type()}) {
        GObjectClass *klass = G_OBJECT_CLASS(g_type_class_ref(t));
        GParamSpec *pspec = g_object_class_find_property(klass, "alarm-state");
        ASSERT_NE(pspec, nullptr) << g_type_name(t);
        g_type_class_unref(klass);
    }
}

TEST(Catalogue, OverridePropertiesReturnsTheLastIdUsed) {
    GObjectClass *klass = G_OBJECT_CLASS(g_type_class_ref(G_TYPE_OBJECT));
    EXPECT_EQ(ky_at_override_properties(klass, 1), 0u);
    EXPECT_EQ(ky_wifi_override_properties(klass, 5), 4u);
    g_type_class_unref(klass);
}

TEST(Catalogue, IntrospectionOnTheWireCarriesNoAnnotation) {
    FakeService bt{"ky.bt", "/ky/bt", [] { return gpointer(ky_bt_skeleton_new()); }};
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    GError *error = nullptr;
    GVariant *reply =
        g_dbus_connection_call_sync(bus, "ky.bt", "/ky/bt", "org.freedesktop.DBus.Introspectable", "Introspect",
                                    nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    ASSERT_NE(reply, nullptr) << error->message;
    const gchar *xml = nullptr;
    g_variant_get(reply, "(&s)", &xml);
    EXPECT_NE(std::string(xml).find("<interface name=\"ky.bt\">"), std::string::npos);
    EXPECT_NE(std::string(xml).find("<signal name=\"BtRecvData\">"), std::string::npos);
    EXPECT_EQ(std::string(xml).find("org.gtk.GDBus"), std::string::npos);
    g_variant_unref(reply);
    g_object_unref(bus);
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override { tbox::test::private_bus_address(); }
    static KyAt *at_proxy() {
        GError *error = nullptr;
        KyAt *p = ky_at_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.at", "/ky/at", nullptr,
                                               &error);
        EXPECT_NE(p, nullptr);
        return p;
    }
};

TEST_F(Dispatch, AMethodNoHandlerClaimsFailsWithUnknownMethod) {
    FakeService at{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    KyAt *proxy = at_proxy();
    gint result = 77;
    gchar *response = nullptr;
    GError *error = nullptr;
    EXPECT_FALSE(ky_at_call_send_at_cmd_sync(proxy, "AT", "", 1, &result, &response, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD));
    gchar *remote = g_dbus_error_get_remote_error(error);
    EXPECT_STREQ(remote, "org.freedesktop.DBus.Error.UnknownMethod");
    g_dbus_error_strip_remote_error(error);
    EXPECT_STREQ(error->message, "Method SendAtCmd is not implemented on interface ky.at");
    EXPECT_EQ(result, 77);  // out-parameters untouched on failure
    EXPECT_EQ(response, nullptr);
    g_free(remote);
    g_error_free(error);
    g_object_unref(proxy);
}

TEST_F(Dispatch, AHandlerReturningFalseLetsTheNextOneAnswer) {
    FakeService at{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    int declined = 0;
    at.handle("handle-send-at-cmd", [&](GDBusMethodInvocation *) {
        ++declined;
        return false;
    });
    at.handle("handle-send-at-cmd", [](GDBusMethodInvocation *inv) {
        const gchar *cmd = nullptr, *prefix = nullptr;
        gint lines = 0;
        g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(&s&si)", &cmd, &prefix, &lines);
        gchar *echo = g_strdup_printf("%s|%s|%d", cmd, prefix, lines);
        ky_at_complete_send_at_cmd(nullptr, inv, 3, echo);
        g_free(echo);
        return true;
    });
    KyAt *proxy = at_proxy();
    gint result = 0;
    gchar *response = nullptr;
    ASSERT_TRUE(ky_at_call_send_at_cmd_sync(proxy, "AT+X", "+X:", 2, &result, &response, nullptr, nullptr));
    EXPECT_EQ(declined, 1);
    EXPECT_EQ(result, 3);
    EXPECT_STREQ(response, "AT+X|+X:|2");
    g_free(response);
    g_object_unref(proxy);
}

TEST_F(Dispatch, MethodsWithEmptyTuplesSucceed) {
    FakeService wifi{"ky.wifi", "/ky/wifi", [] { return gpointer(ky_wifi_skeleton_new()); }};
    FakeService ecall{"ky.ecall", "/ky/ecall", [] { return gpointer(ky_ecall_skeleton_new()); }};
    wifi.handle("handle-disable-wifi", [](GDBusMethodInvocation *inv) {
        ky_wifi_complete_disable_wifi(nullptr, inv);
        return true;
    });
    ecall.handle("handle-clear-ecall-statue", [](GDBusMethodInvocation *inv) {
        ky_ecall_complete_clear_ecall_statue(nullptr, inv);
        return true;
    });
    ecall.handle("handle-get-ecall-statue", [](GDBusMethodInvocation *inv) {
        ky_ecall_complete_get_ecall_statue(nullptr, inv, g_variant_new("(ii)", 2, 9));
        return true;
    });
    KyWifi *w = ky_wifi_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.wifi", "/ky/wifi",
                                               nullptr, nullptr);
    KyEcall *e = ky_ecall_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.ecall", "/ky/ecall",
                                                 nullptr, nullptr);
    EXPECT_TRUE(ky_wifi_call_disable_wifi_sync(w, nullptr, nullptr));
    EXPECT_TRUE(ky_ecall_call_clear_ecall_statue_sync(e, nullptr, nullptr));
    GVariant *status = nullptr;
    ASSERT_TRUE(ky_ecall_call_get_ecall_statue_sync(e, &status, nullptr, nullptr));
    gint a = 0, b = 0;
    g_variant_get(status, "(ii)", &a, &b);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 9);
    g_variant_unref(status);
    EXPECT_EQ(wifi.calls_to("DisableWifi").at(0), "()");
    g_object_unref(w);
    g_object_unref(e);
}

TEST_F(Dispatch, ByteArrayArgumentIsAByteStringOnTheWire) {
    FakeService bt{"ky.bt", "/ky/bt", [] { return gpointer(ky_bt_skeleton_new()); }};
    std::string received;
    bt.handle("handle-send-btdata", [&](GDBusMethodInvocation *inv) {
        GVariant *data = g_variant_get_child_value(g_dbus_method_invocation_get_parameters(inv), 0);
        EXPECT_TRUE(g_variant_is_of_type(data, G_VARIANT_TYPE_BYTESTRING));
        gsize n = 0;
        const char *bytes = static_cast<const char *>(g_variant_get_fixed_array(data, &n, 1));
        received.assign(bytes, n);
        g_variant_unref(data);
        ky_bt_complete_send_btdata(nullptr, inv);
        return true;
    });
    KyBt *proxy =
        ky_bt_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.bt", "/ky/bt", nullptr, nullptr);
    ASSERT_TRUE(ky_bt_call_send_btdata_sync(proxy, "\x01\x02hi", 4, nullptr, nullptr));
    // "^ay" carries the terminating zero with the bytes.
    EXPECT_EQ(received, std::string("\x01\x02hi\0", 5));
    EXPECT_EQ(bt.calls_to("SendBTData").at(0), "(b'\\001\\002hi', 4)");
    g_object_unref(proxy);
}

TEST_F(Dispatch, GetAllAnswersAnEmptyDictionaryExceptOnGbreal) {
    FakeService net{"ky.net", "/ky/net", [] { return gpointer(ky_net_skeleton_new()); }};
    FakeService gb{"ky.gbreal", "/ky/gbreal", [] { return gpointer(ky_gbreal_skeleton_new()); }};
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    auto get_all = [&](const char *name, const char *path) {
        GVariant *r = g_dbus_connection_call_sync(bus, name, path, "org.freedesktop.DBus.Properties", "GetAll",
                                                  g_variant_new("(s)", name), G_VARIANT_TYPE("(a{sv})"),
                                                  G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        gchar *s = r != nullptr ? g_variant_print(r, FALSE) : g_strdup("error");
        std::string out = s;
        g_free(s);
        if (r != nullptr) g_variant_unref(r);
        return out;
    };
    EXPECT_EQ(get_all("ky.net", "/ky/net"), "({},)");
    EXPECT_EQ(get_all("ky.gbreal", "/ky/gbreal"), "({'AlarmState': <false>},)");
    g_object_unref(bus);
}

struct Received {
    int calls = 0;
    std::string type;
    std::string bytes;
    int length = -1;
};

// Handler of "bt-recv-data" (guint16 length) and "gb-real-data" (gint length): both carry the bytes as
// one whole GVariant.
template <typename Object, typename Length>
void on_recv_data(Object *, Length len, GVariant *data, gpointer user) {
    auto *r = static_cast<Received *>(user);
    ++r->calls;
    r->length = len;
    r->type = g_variant_get_type_string(data);
    gsize n = 0;
    const char *bytes = static_cast<const char *>(g_variant_get_fixed_array(data, &n, 1));
    r->bytes.assign(bytes, n);
}

GVariant *byte_array(const std::string &bytes) {
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
}

TEST_F(Dispatch, WholeVariantSignalArgumentsReachHandlersAsByteArrays) {
    FakeService bt{"ky.bt", "/ky/bt", [] { return gpointer(ky_bt_skeleton_new()); }};
    FakeService gb{"ky.gbreal", "/ky/gbreal", [] { return gpointer(ky_gbreal_skeleton_new()); }};
    KyBt *btp =
        ky_bt_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.bt", "/ky/bt", nullptr, nullptr);
    KyGbreal *gbp = ky_gbreal_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.gbreal",
                                                     "/ky/gbreal", nullptr, nullptr);
    Received bt_got, gb_got;
    g_signal_connect(btp, "bt-recv-data", G_CALLBACK((on_recv_data<KyBt, guint16>)), &bt_got);
    g_signal_connect(gbp, "gb-real-data", G_CALLBACK((on_recv_data<KyGbreal, gint>)), &gb_got);
    const std::string payload("\x00\xff\x10zero\x00inside", 13);
    bt.run([&] { ky_bt_emit_bt_recv_data(bt.skeleton<KyBt>(), 13, byte_array(payload)); });
    gb.run([&] { ky_gbreal_emit_gb_real_data(gb.skeleton<KyGbreal>(), 13, byte_array(payload)); });
    ASSERT_TRUE(tbox::test::pump_until([&] { return bt_got.calls == 1 && gb_got.calls == 1; }));
    EXPECT_EQ(bt_got.type, "ay");
    EXPECT_EQ(bt_got.bytes, payload);
    EXPECT_EQ(bt_got.length, 13);
    EXPECT_EQ(gb_got.type, "ay");
    EXPECT_EQ(gb_got.bytes, payload);
    EXPECT_EQ(gb_got.length, 13);
    g_object_unref(btp);
    g_object_unref(gbp);
}

TEST_F(Dispatch, SignalEmissionReachesEveryConnectionTheSkeletonIsExportedOn) {
    FakeService at{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    GDBusConnection *second = tbox::test::open_bus_connection();
    at.run([&] {
        ASSERT_TRUE(g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(at.skeleton<KyAt>()), second, "/ky/at",
                                                     nullptr));
    });
    SignalRecorder recorder;
    at.run([&] { ky_at_emit_urc_broadcast(at.skeleton<KyAt>(), "RING", "sms"); });
    ASSERT_TRUE(tbox::test::pump_until([&] { return recorder.count("UrcBroadcast") == 2; }));
    tbox::test::pump_for(100);
    const auto signals = recorder.signals();
    std::vector<std::string> senders;
    for (const auto &s : signals) {
        if (s.member != "UrcBroadcast") continue;
        EXPECT_EQ(s.path, "/ky/at");
        EXPECT_EQ(s.interface, "ky.at");
        EXPECT_EQ(s.args, "('RING', 'sms')");
        senders.push_back(s.sender);
    }
    ASSERT_EQ(senders.size(), 2u);
    EXPECT_NE(senders[0], senders[1]);
    at.run([&] { g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(at.skeleton<KyAt>())); });
    g_object_unref(second);
}

TEST_F(Dispatch, AnUnexportedSkeletonSendsNothing) {
    SignalRecorder recorder;
    KyAt *skeleton = ky_at_skeleton_new();
    ky_at_emit_urc_broadcast(skeleton, "RING", "");
    // A marker signal proves the recorder is live; the URC never arrives.
    FakeService marker{"ky.net", "/ky/net", [] { return gpointer(ky_net_skeleton_new()); }};
    marker.run([&] { ky_net_emit_net_status(marker.skeleton<KyNet>(), TRUE); });
    ASSERT_TRUE(tbox::test::pump_until([&] { return recorder.count("NetStatus") == 1; }));
    EXPECT_EQ(recorder.count("UrcBroadcast"), 0u);
    g_object_unref(skeleton);
}

// --- AlarmState publication -------------------------------------------------------------------------

class AlarmState : public ::testing::Test {
protected:
    void SetUp() override { tbox::test::private_bus_address(); }
    KyGbreal *skeleton() { return gb.skeleton<KyGbreal>(); }
    size_t changes() const { return recorder.count("PropertiesChanged"); }
    FakeService gb{"ky.gbreal", "/ky/gbreal", [] { return gpointer(ky_gbreal_skeleton_new()); }};
    SignalRecorder recorder;
};

TEST_F(AlarmState, ChangedAndChangedBackBeforeTheLoopRunsSendsNothing) {
    gb.run([&] {
        ky_gbreal_set_alarm_state(skeleton(), TRUE);
        ky_gbreal_set_alarm_state(skeleton(), FALSE);
    });
    // A later real change proves the recorder was listening; only it is published.
    gb.run([&] { ky_gbreal_set_alarm_state(skeleton(), TRUE); });
    ASSERT_TRUE(tbox::test::pump_until([&] { return changes() >= 1; }));
    tbox::test::pump_for(100);
    ASSERT_EQ(changes(), 1u);
    EXPECT_EQ(recorder.signals().back().args, "('ky.gbreal', {'AlarmState': <true>}, [])");
}

TEST_F(AlarmState, RepeatedSetsCoalesceIntoOneSignal) {
    gb.run([&] {
        for (int i = 0; i < 3; ++i) ky_gbreal_set_alarm_state(skeleton(), TRUE);
    });
    ASSERT_TRUE(tbox::test::pump_until([&] { return changes() >= 1; }));
    tbox::test::pump_for(150);
    ASSERT_EQ(changes(), 1u);
    const auto s = recorder.signals().back();
    EXPECT_EQ(s.interface, "org.freedesktop.DBus.Properties");
    EXPECT_EQ(s.path, "/ky/gbreal");
    EXPECT_EQ(s.args, "('ky.gbreal', {'AlarmState': <true>}, [])");
}

TEST_F(AlarmState, FlushSendsAtOnceAndTheIdleSourceNeverFires) {
    gb.run([&] {
        ky_gbreal_set_alarm_state(skeleton(), TRUE);
        g_dbus_interface_skeleton_flush(G_DBUS_INTERFACE_SKELETON(skeleton()));
    });
    ASSERT_TRUE(tbox::test::pump_until([&] { return changes() >= 1; }));
    tbox::test::pump_for(150);
    EXPECT_EQ(changes(), 1u);
}

TEST_F(AlarmState, SettingTheCurrentValueNotifiesNothing) {
    int notified = 0;
    gb.run([&] {
        g_signal_connect_swapped(skeleton(), "notify::alarm-state", G_CALLBACK(+[](int *n) { ++*n; }), &notified);
        ky_gbreal_set_alarm_state(skeleton(), FALSE);
    });
    tbox::test::pump_for(100);
    EXPECT_EQ(notified, 0);
    EXPECT_EQ(changes(), 0u);
}

TEST_F(AlarmState, ProxyCacheFollowsTheServiceAndNotifies) {
    KyGbreal *proxy = ky_gbreal_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.gbreal",
                                                       "/ky/gbreal", nullptr, nullptr);
    ASSERT_NE(proxy, nullptr);
    EXPECT_FALSE(ky_gbreal_get_alarm_state(proxy));
    bool seen_true = false;
    g_signal_connect(proxy, "notify::alarm-state", G_CALLBACK(+[](GObject *o, GParamSpec *, bool *seen) {
                         *seen = ky_gbreal_get_alarm_state(KY_GBREAL(o));
                     }),
                     &seen_true);
    gb.run([&] { ky_gbreal_set_alarm_state(skeleton(), TRUE); });
    ASSERT_TRUE(tbox::test::pump_until([&] { return seen_true; }));
    EXPECT_TRUE(ky_gbreal_get_alarm_state(proxy));
    gboolean via_gobject = FALSE;
    g_object_get(proxy, "alarm-state", &via_gobject, NULL);
    EXPECT_TRUE(via_gobject);
    g_object_unref(proxy);
}

GLogWriterOutput capture_warning(GLogLevelFlags level, const GLogField *fields, gsize n, gpointer user) {
    for (gsize i = 0; i < n; ++i) {
        if (g_strcmp0(fields[i].key, "MESSAGE") == 0 && (level & G_LOG_LEVEL_WARNING)) {
            static_cast<std::vector<std::string> *>(user)->push_back(static_cast<const char *>(fields[i].value));
        }
    }
    return G_LOG_WRITER_HANDLED;
}

TEST_F(AlarmState, SettingThroughAProxyIsRefusedAndLeavesTheValue) {
    std::vector<std::string> warnings;
    g_log_set_writer_func(capture_warning, &warnings, nullptr);
    KyGbreal *proxy = ky_gbreal_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.gbreal",
                                                       "/ky/gbreal", nullptr, nullptr);
    ky_gbreal_set_alarm_state(proxy, TRUE);
    ASSERT_TRUE(tbox::test::pump_until([&] { return !warnings.empty(); }));
    EXPECT_EQ(warnings[0].rfind("Error setting property 'AlarmState' on interface ky.gbreal: ", 0), 0u) << warnings[0];
    EXPECT_FALSE(ky_gbreal_get_alarm_state(proxy));
    gboolean stored = TRUE;
    gb.run([&] { stored = ky_gbreal_get_alarm_state(skeleton()); });
    EXPECT_FALSE(stored);
    g_object_unref(proxy);
}

TEST(AlarmStateUnexported, ValueChangesSilentlyAndNotifiesLocally) {
    tbox::test::private_bus_address();
    SignalRecorder recorder;
    int notified = 0;
    gboolean value_before_export = FALSE;
    // The factory runs before the skeleton is exported: the change is stored and notified, never published.
    FakeService gb{"ky.gbreal", "/ky/gbreal", [&] {
                       KyGbreal *skeleton = ky_gbreal_skeleton_new();
                       g_signal_connect_swapped(skeleton, "notify::alarm-state", G_CALLBACK(+[](int *n) { ++*n; }),
                                                &notified);
                       ky_gbreal_set_alarm_state(skeleton, TRUE);
                       value_before_export = ky_gbreal_get_alarm_state(skeleton);
                       return gpointer(skeleton);
                   }};
    EXPECT_EQ(notified, 1);
    EXPECT_TRUE(value_before_export);
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    GVariant *r = g_dbus_connection_call_sync(bus, "ky.gbreal", "/ky/gbreal", "org.freedesktop.DBus.Properties",
                                              "GetAll", g_variant_new("(s)", "ky.gbreal"), nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    gchar *printed = g_variant_print(r, FALSE);
    EXPECT_STREQ(printed, "({'AlarmState': <true>},)");
    g_free(printed);
    g_variant_unref(r);
    tbox::test::pump_for(150);
    EXPECT_EQ(recorder.count("PropertiesChanged"), 0u);
    g_object_unref(bus);
}

TEST_F(AlarmState, ExportedOnTwoConnectionsEachSendsTheChange) {
    GDBusConnection *second = tbox::test::open_bus_connection();
    gb.run([&] {
        ASSERT_TRUE(
            g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton()), second, "/ky/gbreal", nullptr));
        ky_gbreal_set_alarm_state(skeleton(), TRUE);
    });
    ASSERT_TRUE(tbox::test::pump_until([&] { return changes() == 2; }));
    tbox::test::pump_for(100);
    EXPECT_EQ(changes(), 2u);
    gb.run([&] { g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton())); });
    g_object_unref(second);
}

}  // namespace
