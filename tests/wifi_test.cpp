// Wi-Fi client against a fake ky.wifi service: results, printed lines and the arguments on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "tbox/wifi.h"

using tbox::test::FakeService;
using tbox::test::PrintCapture;

namespace {

using Strings = std::vector<std::string>;

struct Case {
    int (*function)();
    const char *handler, *member;
    int result;
    const char *printed;  // on success
    int failure;
    const char *failure_line;  // before the error's message
};
const Case kCases[] = {
    {ClientGetWifiStatus, "handle-get-wifi-status", "GetWifiStatus", 3, "get WifiStatus success:3\n", -1,
     "get WifiStatus error:"},
    {[] { return SetWiFiMode(2); }, "handle-set-wifi-mode", "SetWifiMode", 0, "", -1, "set wifiMode error:"},
    {DisableWifi, "handle-disable-wifi", "DisableWifi", 0, "disable wifi ok\n", 255, "disable wifi error:"},
    {EnableWiFi, "handle-enable-wifi", "EnableWifi", 0, "enable wifi succes\n", 255, "enable wifi error:"},
    {StopWiFiAp, "handle-stop-wifi-ap", "StopWifiAp", 0, "", -1, "stop wifi error:"},
    {StartWiFiAp, "handle-start-wifi-ap", "StartWifiAp", 0, "", -1, "start wifi error:"},
    {StopWiFiSta, "handle-stop-wifi-sta", "StopWifiSta", 0, "", -1, "stop wifi sta error:"},
    {StartWiFiSta, "handle-start-wifi-sta", "StartWifiSta", 0, "", -1, "start wifi error:"},
    {[] { return ConnectWiFiStaToApp("home", "secret"); }, "handle-connet-wifi-sta-to-ap", "ConnetWifiStaToAp", 0,
     "connection wifi ok\n", -1, "connection wifi error:"},
};

class WifiClient : public ::testing::Test {
protected:
    FakeService service{"ky.wifi", "/ky/wifi", [] { return gpointer(ky_wifi_skeleton_new()); }};
    PrintCapture printed;
    tbox::test::LogCapture log;
};

TEST_F(WifiClient, EachFunctionGivesItsResultAndLineAndNothingReachesSyslog) {
    for (const Case &c : kCases) EXPECT_EQ(c.function(), c.failure) << c.member;
    WiFiApInfo info{};
    EXPECT_EQ(GetWiFiApInfo(&info) | SetWiFiApInfo(&info, 0), -1);
    EXPECT_EQ(printed.take(), "");  // not initialised: nothing printed, nothing sent
    EXPECT_EQ(service.members(), Strings{});

    ASSERT_EQ(InitWifiInterface(), 0);
    EXPECT_EQ(InitWifiInterface(), -1);
    for (const Case &c : kCases) {  // the fake claims no method yet: every call fails
        EXPECT_EQ(c.function(), c.failure) << c.member;
        EXPECT_EQ(printed.take(), std::string(c.failure_line) +
                                      "GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method " + c.member +
                                      " is not implemented on interface ky.wifi\n");
    }
    for (const Case &c : kCases) {
        service.reply(c.handler, c.result != 0 ? g_variant_new("(i)", c.result) : nullptr);
        EXPECT_EQ(c.function(), c.result) << c.member;
        EXPECT_EQ(printed.take(), c.printed) << c.member;
    }
    EXPECT_EQ(service.calls_to("SetWifiMode"), (Strings{"(2,)", "(2,)"}));
    EXPECT_EQ(service.calls_to("ConnetWifiStaToAp"), (Strings{"('home', 'secret')", "('home', 'secret')"}));
    EXPECT_EQ(ConnectWiFiStaToApp("home", nullptr) | ConnectWiFiStaToApp(nullptr, "x"), -1);
    EXPECT_EQ(ConnectWiFiStaToApp("home", "pa\xffss"), -1);
    EXPECT_EQ(printed.take(), "connection wifi error:passwd is not UTF-8\n");
    EXPECT_EQ(service.count("ConnetWifiStaToAp"), 2u);
    EXPECT_EQ(log.count(), 0u);
}

TEST_F(WifiClient, AccessPointRecordsAreCopiedIntoTheirFieldsOrRefusedWhole) {
    std::string ssid = "abc", passwd = "12345678";
    service.handle("handle-get-wifi-ap-info", [&](GDBusMethodInvocation *inv) {
        ky_wifi_complete_get_wifi_ap_info(nullptr, inv, g_variant_new("(ssi)", ssid.c_str(), passwd.c_str(), 6));
        return true;
    });
    service.reply("handle-set-wifi-ap-info", nullptr);
    ASSERT_EQ(InitWifiInterface(), 0);
    unsigned char bytes[sizeof(WiFiApInfo) + 8];
    std::memset(bytes, 0xA5, sizeof bytes);
    auto *info = reinterpret_cast<WiFiApInfo *>(bytes);
    ASSERT_EQ(GetWiFiApInfo(info), 0);
    EXPECT_EQ(std::memcmp(bytes, "abc", 4) | std::memcmp(bytes + 32, "12345678", 9), 0);
    EXPECT_EQ(info->value, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes) + 68, 8), std::string(8, '\xA5'));
    EXPECT_EQ(printed.take(), "get wifi apinfo sucess:abc12345678\n");

    const std::pair<std::string, std::string> too_long[] = {{std::string(32, 's'), "p"}, {"s", std::string(40, 'p')}};
    for (const auto &[s, p] : too_long) {
        ssid = s, passwd = p;
        std::memset(bytes, 0xA5, sizeof bytes);
        EXPECT_EQ(GetWiFiApInfo(info), -1);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), sizeof bytes), std::string(sizeof bytes, '\xA5'));
    }
    EXPECT_EQ(printed.take(),
              "get wifi apinfo error:ssid longer than 31 characters\n"
              "get wifi apinfo error:passwd longer than 31 characters\n");
    ssid = std::string(31, 's'), passwd = std::string(31, 'p');
    EXPECT_EQ(GetWiFiApInfo(info), 0);
    EXPECT_EQ(std::string(info->ssid) + info->passwd, ssid + passwd);

    WiFiApInfo record{"net", "pw", 11};
    EXPECT_EQ(SetWiFiApInfo(&record, 9), 0);
    std::memset(record.ssid, 'x', sizeof record.ssid);
    EXPECT_EQ(SetWiFiApInfo(&record, 9), -1);
    std::strcpy(record.ssid, "net");
    std::strcpy(record.passwd, "\xc3(");
    EXPECT_EQ(SetWiFiApInfo(&record, 9), -1);
    EXPECT_EQ(service.calls_to("SetWifiApInfo"), Strings{"(('net', 'pw', 11), 9)"});
    printed.take();
}

}  // namespace
