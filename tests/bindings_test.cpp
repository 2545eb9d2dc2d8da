// The generated binding families on a private bus: catalogue, dispatch, signals, property publication.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/pump.h"
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
using tbox::test::pump_for;
using tbox::test::pump_until;
using tbox::test::SignalRecorder;

namespace {

// "Member(in)(out)" per method, "Member(args)" per signal, "Name:type" per property, in order.
std::string describe(const GDBusInterfaceInfo *info) {
    auto sig = [](GDBusArgInfo **args) {
        std::string s = "(";
        for (GDBusArgInfo **a = args; a != nullptr && *a != nullptr; ++a) s += (*a)->signature;
        return s + ")";
    };
    std::string out;
    for (GDBusMethodInfo **m = info->methods; m && *m; ++m)
        out += " " + std::string((*m)->name) + sig((*m)->in_args) + sig((*m)->out_args);
    for (GDBusSignalInfo **s = info->signals; s && *s; ++s) out += " " + std::string((*s)->name) + sig((*s)->args);
    for (GDBusPropertyInfo **p = info->properties; p && *p; ++p)
        out += " " + std::string((*p)->name) + ":" + (*p)->signature;
    return out.substr(1);
}

TEST(Catalogue, MembersAreSpelledAndTypedExactly) {
    const std::pair<const char *, GDBusInterfaceInfo *> interfaces[] = {
        {"ky.at", ky_at_interface_info()},           {"ky.bt", ky_bt_interface_info()},
        {"ky.ecall", ky_ecall_interface_info()},     {"ky.gbreal", ky_gbreal_interface_info()},
        {"ky.gnss", ky_gnss_interface_info()},       {"ky.gsensor", ky_gsensor_interface_info()},
        {"ky.monitor", ky_monitor_interface_info()}, {"ky.net", ky_net_interface_info()},
        {"ky.param", ky_param_interface_info()},     {"ky.pm", ky_pm_interface_info()},
        {"ky.update", ky_update_interface_info()},   {"ky.wifi", ky_wifi_interface_info()}};
    std::string actual;
    for (const auto &[name, info] : interfaces) actual += std::string(name) + ": " + describe(info) + "\n";
    std::ifstream file(TBOX_TEST_DATA "/catalogue.txt");
    std::string expected, line;
    while (std::getline(file, line)) expected += line.rfind('#', 0) == 0 ? "" : line + "\n";
    EXPECT_EQ(actual, expected);
    // GObject names follow the hyphenation of the D-Bus names.
    g_type_class_ref(ky_monitor_skeleton_get_type());
    g_type_class_ref(ky_wifi_skeleton_get_type());
    EXPECT_NE(g_signal_lookup("get-process-status", ky_monitor_get_type()), 0u);
    EXPECT_NE(g_signal_lookup("handle-connet-wifi-sta-to-ap", ky_wifi_get_type()), 0u);
    EXPECT_STREQ(g_type_name(ky_gbreal_skeleton_get_type()), "KyGbrealSkeleton");
}

TEST(Dispatch, UnclaimedMethodsFailWithUnknownMethodAndDecliningHandlersPassOn) {
    FakeService at{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    KyAt *proxy =
        ky_at_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.at", "/ky/at", nullptr, nullptr);
    gint result = 77;
    gchar *response = nullptr;
    GError *error = nullptr;
    EXPECT_FALSE(ky_at_call_send_at_cmd_sync(proxy, "AT", "", 1, &result, &response, nullptr, &error));
    ASSERT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD));
    g_dbus_error_strip_remote_error(error);
    EXPECT_STREQ(error->message, "Method SendAtCmd is not implemented on interface ky.at");
    EXPECT_EQ(result, 77);  // out-parameters untouched on failure
    g_clear_error(&error);

    at.handle("handle-send-at-cmd", [](GDBusMethodInvocation *) { return false; });
    at.handle("handle-send-at-cmd", [](GDBusMethodInvocation *inv) {
        ky_at_complete_send_at_cmd(nullptr, inv, 3, "answered by the second handler");
        return true;
    });
    ASSERT_TRUE(ky_at_call_send_at_cmd_sync(proxy, "AT", "", 1, &result, &response, nullptr, nullptr));
    EXPECT_EQ(result, 3);
    EXPECT_STREQ(response, "answered by the second handler");
    g_free(response);
    g_object_unref(proxy);
}

TEST(Dispatch, EmptyTuplesStructuresAndByteStringsTravelAsDeclared) {
    FakeService bt{"ky.bt", "/ky/bt", [] { return gpointer(ky_bt_skeleton_new()); }};
    FakeService ecall{"ky.ecall", "/ky/ecall", [] { return gpointer(ky_ecall_skeleton_new()); }};
    bt.reply("handle-send-btdata", nullptr);
    ecall.reply("handle-clear-ecall-statue", nullptr);
    ecall.reply("handle-get-ecall-statue", g_variant_new("(@(ii))", g_variant_new("(ii)", 2, 9)));
    KyBt *b =
        ky_bt_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.bt", "/ky/bt", nullptr, nullptr);
    KyEcall *e = ky_ecall_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.ecall", "/ky/ecall",
                                                 nullptr, nullptr);
    ASSERT_TRUE(ky_bt_call_send_btdata_sync(b, "\x01\x02hi", 4, nullptr, nullptr));
    EXPECT_EQ(bt.calls_to("SendBTData").at(0), "(b'\\001\\002hi', 4)");  // "^ay": a zero-terminated byte string
    EXPECT_TRUE(ky_ecall_call_clear_ecall_statue_sync(e, nullptr, nullptr));
    EXPECT_EQ(ecall.calls_to("ClearEcallStatue").at(0), "()");
    GVariant *status = nullptr;
    ASSERT_TRUE(ky_ecall_call_get_ecall_statue_sync(e, &status, nullptr, nullptr));
    gint first = 0, second = 0;
    g_variant_get(status, "(ii)", &first, &second);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 9);
    g_variant_unref(status);
    EXPECT_EQ(tbox::test::get_all("ky.bt", "/ky/bt", "ky.bt"), "({},)");  // families without a property
    g_object_unref(b);
    g_object_unref(e);
}

TEST(Signals, ReachEveryConnectionOnceAndCarryByteArraysAsWholeVariants) {
    FakeService bt{"ky.bt", "/ky/bt", [] { return gpointer(ky_bt_skeleton_new()); }};
    GDBusConnection *second = tbox::test::open_bus_connection();
    bt.run([&] {
        g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(bt.skeleton<KyBt>()), second, "/ky/bt", nullptr);
    });
    KyBt *proxy =
        ky_bt_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.bt", "/ky/bt", nullptr, nullptr);
    std::string got;
    g_signal_connect(proxy, "bt-recv-data", G_CALLBACK(+[](GObject *, guint len, GVariant *data, std::string *out) {
                         *out = std::to_string(len) + " " + g_variant_get_type_string(data) + " " +
                                std::to_string(g_variant_n_children(data));
                     }),
                     &got);
    SignalRecorder recorder;
    KyBt *unexported = ky_bt_skeleton_new();
    ky_bt_emit_bt_state_change(unexported, 1);  // sends nothing
    const char bytes[] = {0, 1, 0, 2, 3};
    bt.run([&] {
        ky_bt_emit_bt_recv_data(bt.skeleton<KyBt>(), 5,
                                g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes, sizeof bytes, 1));
    });
    ASSERT_TRUE(pump_until([&] { return recorder.count("BtRecvData") == 2 && !got.empty(); }));
    pump_for(100);
    EXPECT_EQ(recorder.count("BtRecvData"), 2u);
    EXPECT_NE(recorder.of("BtRecvData")[0].sender, recorder.of("BtRecvData")[1].sender);
    EXPECT_EQ(recorder.count("BtStateChange"), 0u);
    EXPECT_EQ(got, "5 ay 5");  // one GVariant "ay", zero bytes included
    bt.run([&] { g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(bt.skeleton<KyBt>())); });
    g_object_unref(unexported);
    g_object_unref(proxy);
    g_object_unref(second);
}

// --- AlarmState publication -------------------------------------------------------------------------

// The generated property is marked explicit-notify: setting the current value notifies nobody, and an
// unexported skeleton publishes nothing.
TEST(AlarmStateUnexported, ChangesSilentlyButNotifiesLocallyAndGetAllSeesIt) {
    SignalRecorder recorder;
    int notified = 0;
    FakeService gb{"ky.gbreal", "/ky/gbreal", [&] {  // the factory runs before the skeleton is exported
                       KyGbreal *skeleton = ky_gbreal_skeleton_new();
                       g_signal_connect_swapped(skeleton, "notify::alarm-state", G_CALLBACK(+[](int *n) { ++*n; }),
                                                &notified);
                       ky_gbreal_set_alarm_state(skeleton, TRUE);
                       ky_gbreal_set_alarm_state(skeleton, TRUE);
                       return gpointer(skeleton);
                   }};
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(tbox::test::get_all("ky.gbreal", "/ky/gbreal", "ky.gbreal"), "({'AlarmState': <true>},)");
    pump_for(150);
    EXPECT_EQ(recorder.count("PropertiesChanged"), 0u);
}

}  // namespace
