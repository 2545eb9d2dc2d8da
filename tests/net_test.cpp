// Network status client against a fake ky.net service whose profile n has dial status 10 * n.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "tbox/net.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;
using tbox::test::pump_until;

namespace {

using Strings = std::vector<std::string>;
std::vector<std::pair<int, int>> g_changes;  // (slot, status) as called back
void on_change(int slot, int status) {
    g_changes.emplace_back(slot, status);
}
void other_change(int, int) {
    ADD_FAILURE() << "a second registration replaced the first";
}

gint index_of(GDBusMethodInvocation *inv) {
    gint index = 0;
    g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &index);
    return index;
}

class NetClient : public ::testing::Test {
protected:
    void SetUp() override {
        service.handle("handle-get-net-status", [this](GDBusMethodInvocation *inv) {
            const gint index = index_of(inv);
            if (index == failing) {
                g_dbus_method_invocation_return_dbus_error(inv, "ky.net.Error", "modem busy");
            } else {
                ky_net_complete_get_net_status(nullptr, inv, 10 * index);
            }
            return true;
        });
        service.handle("handle-get-net-ip", [this](GDBusMethodInvocation *inv) {
            const gint index = index_of(inv);
            if (index == failing) {
                g_dbus_method_invocation_return_dbus_error(inv, "ky.net.Error", "no address");
            } else {
                ky_net_complete_get_net_ip(nullptr, inv, ("10.0.0." + std::to_string(index)).c_str());
            }
            return true;
        });
    }
    FakeService service{"ky.net", "/ky/net", [] { return gpointer(ky_net_skeleton_new()); }};
    int failing = 0;  // the profile whose reads fail
    LogCapture log;
};

TEST_F(NetClient, ProfileIndexesOutside1To14AreRefusedFirstAndNothingIsSentBeforeInit) {
    char ip[64] = "untouched";
    EXPECT_EQ(GetNetWorkStatus(1), -1);
    EXPECT_EQ(GetNetWorkIp(1, ip), -1);
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack(on_change), 0);  // allowed before initialisation
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack(other_change), -1);
    EXPECT_EQ(RegisterNetWorkStatusChangeCBack(nullptr), -1);
    EXPECT_TRUE(log.has("Net Status Change CallBack has Register,Don't repeat registration\n"));
    EXPECT_TRUE(log.has("The Func Pointer is NULL\n"));
    ASSERT_EQ(InitNetInterface(), 0);
    EXPECT_EQ(InitNetInterface(), -1);
    const std::pair<int, int> statuses[] = {{0, -40}, {1, 10}, {2, 20}, {3, 30}, {14, 140}, {15, -40}, {-1, -40}};
    for (const auto &[index, expected] : statuses) EXPECT_EQ(GetNetWorkStatus(index), expected) << index;
    EXPECT_EQ(GetNetWorkIp(0, nullptr), ERR_NET_PROFILE_INDEX_INVALID);
    EXPECT_EQ(GetNetWorkIp(15, ip), -40);
    EXPECT_EQ(GetNetWorkIp(1, nullptr), -1);
    EXPECT_TRUE(log.has("ERR_NET_PROFILE_INDEX_INVALID\n") && log.has("pIp is invalid!\n"));
    EXPECT_EQ(service.members(), (Strings{"GetNetStatus", "GetNetStatus", "GetNetStatus", "GetNetStatus"}));
    EXPECT_EQ(service.calls_to("GetNetStatus"), (Strings{"(1,)", "(2,)", "(3,)", "(14,)"}));
    EXPECT_STREQ(ip, "untouched");
}

TEST_F(NetClient, AddressesAreCopiedAndFailuresLoggedWithTheirMessage) {
    ASSERT_EQ(InitNetInterface(), 0);
    char ip[64] = "untouched";
    failing = 3;
    EXPECT_EQ(GetNetWorkIp(3, ip), -1);
    EXPECT_STREQ(ip, "untouched");
    EXPECT_TRUE(log.has("get [3]ip error:GDBus.Error:ky.net.Error: no address\n"));
    EXPECT_EQ(GetNetWorkStatus(3), -1);
    EXPECT_TRUE(log.has("GET NET STATUS ERR\n"));
    EXPECT_EQ(GetNetWorkIp(14, ip), 0);
    EXPECT_STREQ(ip, "10.0.0.14");
}

TEST_F(NetClient, EachSignalReadsProfile1ThenProfile2AndCallsBackPerSlot) {
    ASSERT_EQ(InitNetInterface(), 0);
    ASSERT_EQ(RegisterNetWorkStatusChangeCBack(on_change), 0);
    failing = 2;
    service.run([&] { ky_net_emit_net_status(service.skeleton<KyNet>(), TRUE); });
    ASSERT_TRUE(pump_until([] { return g_changes.size() == 2; }));
    failing = 0;
    service.run([&] { ky_net_emit_net_status(service.skeleton<KyNet>(), FALSE); });
    ASSERT_TRUE(pump_until([] { return g_changes.size() == 4; }));
    tbox::test::pump_for(100);
    EXPECT_EQ(g_changes, (std::vector<std::pair<int, int>>{{0, 10}, {1, -1}, {0, 10}, {1, 20}}));
    EXPECT_EQ(service.calls_to("GetNetStatus"), (Strings{"(1,)", "(2,)", "(1,)", "(2,)"}));
    EXPECT_TRUE(log.has("NetWork Change Callback:[0]\n"));
}

}  // namespace
