// AT command client against a fake ky.at service on a private bus.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "support/test_bus.h"
#include "tbox/at.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;

namespace {

// A fake modem: answers each SendAtCmd with the next scripted (result, text), then (0, "OK").
class AtClient : public ::testing::Test {
protected:
    struct Answer {
        int result;
        std::string text;
    };
    void SetUp() override {
        service.handle("handle-send-at-cmd", [this](GDBusMethodInvocation *inv) {
            const Answer a = next < script.size() ? script[next] : Answer{0, "OK"};
            ++next;
            ky_at_complete_send_at_cmd(nullptr, inv, a.result, a.text.c_str());
            return true;
        });
    }
    FakeService service{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    std::vector<Answer> script;
    size_t next = 0;
};

TEST_F(AtClient, WrappersSendTheirCommandsExactlyAndNullArgumentsSendNothing) {
    char buf[256];
    unsigned char csq = 0;
    {
        LogCapture log;
        EXPECT_EQ(SendAT("at", "", 1, buf), -22);  // before InitAtInterface: refused, nothing sent
        EXPECT_TRUE(log.has("send At error:AT interface is not initialised (call InitAtInterface first)\n"));
    }
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    EXPECT_EQ(SendAT(nullptr, "", 1, buf), -25);
    EXPECT_EQ(GetModemIMEI(nullptr), -25);
    EXPECT_EQ(GetModemCSQ(nullptr), -25);
    EXPECT_EQ(GetModemICCID(buf), 0);
    EXPECT_EQ(GetModemIMEI(buf), 0);
    EXPECT_EQ(GetModemIMSI(buf), 0);
    EXPECT_EQ(GetModemCSQ(&csq), 0);
    EXPECT_EQ(ReadADC(-2147483647 - 1, buf), 0);
    EXPECT_EQ(ReadADC(2147483647, buf), 0);
    EXPECT_EQ(SendAT("AT+X", nullptr, -2147483647 - 1, nullptr), 0);
    const std::vector<std::string> expected = {"('at+qccid', '+QCCID', 1)",
                                               "('at+gsn', '', 3)",
                                               "('at+cimi', '', 3)",
                                               "('at+csq', '+CSQ:', 1)",
                                               "('AT+QADC=-2147483648', '', 1)",
                                               "('AT+QADC=2147483647', '', 1)",
                                               "('AT+X', '', -2147483648)"};
    EXPECT_EQ(service.calls_to("SendAtCmd"), expected);
}

TEST_F(AtClient, CommandsAndPrefixesThatAreNotUtf8AreRefusedUnsent) {
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    char buf[16] = "untouched";
    LogCapture log;
    EXPECT_EQ(SendAT("AT+CMGS=\"\xff\"", "", 1, buf), -22);
    EXPECT_EQ(SendAT("AT", "+C\xc3", 1, buf), -22);
    EXPECT_TRUE(log.has("send At error:command is not UTF-8\n"));
    EXPECT_TRUE(log.has("send At error:prefix is not UTF-8\n"));
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(service.count("SendAtCmd"), 0u);
}

TEST_F(AtClient, AnswersAreCopiedWholeAndResultsPassedOnUnchanged) {
    script = {{0, "89860012345678901234"}, {5, "+CME ERROR: 10"}, {9, "ERROR"}};
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    char buf[64];
    EXPECT_EQ(GetModemICCID(buf), 0);
    EXPECT_STREQ(buf, "89860012345678901234");
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 5);
    EXPECT_STREQ(buf, "+CME ERROR: 10");
    LogCapture log;
    EXPECT_EQ(ReadADC(1, buf), 9);
    EXPECT_TRUE(log.has("Read ADC Err\n"));
}

TEST_F(AtClient, CsqStoresTheLeadingNumberOfTheAnswer) {
    const std::pair<const char *, int> cases[] = {{" 31,99", 31},
                                                  {"99", 99},
                                                  {"+CSQ: 31,99", 0},
                                                  {"300,99", 300 & 0xFF},
                                                  {"23,99 and a tail past twelve bytes", 23},
                                                  {"000000000012", 1}};  // twelve: the eleven that fit
    for (const auto &c : cases) script.push_back({0, c.first});
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    for (const auto &[answer, expected] : cases) {
        unsigned char csq = 200;
        EXPECT_EQ(GetModemCSQ(&csq), 0) << answer;
        EXPECT_EQ(csq, expected) << answer;
    }
}

TEST_F(AtClient, GpsInitStopsAtTheFirstFailingStep) {
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    EXPECT_EQ(GpsInit(), 0);
    EXPECT_EQ(service.calls_to("SendAtCmd"),
              (std::vector<std::string>{
                  "('AT+QGPSCFG=\"outport\"', '', 0)", "('AT+QGPSCFG=\"glonassnmeatype\",1', '', 0)",
                  "('AT+QGPSCFG=\"galileonmeatype\",1', '', 0)", "('AT+QGPSCFG=\"beidounmeatype\",2', '', 0)"}));
    script = {{0, "OK"}, {0, "OK"}, {7, "ERROR"}};
    next = 0;
    LogCapture log;
    EXPECT_EQ(GpsInit(), 7);
    EXPECT_EQ(service.count("SendAtCmd"), 4u + 3u);
    EXPECT_TRUE(log.has("EN GA Gps  Err\n"));
}

std::vector<std::string> g_urcs;
void on_urc(KyAt *proxy, const gchar *urc, const gchar *sms, gpointer user_data) {
    EXPECT_EQ(proxy, g_proxy);
    EXPECT_EQ(user_data, nullptr);
    g_urcs.push_back(std::string(urc) + "|" + sms);
}
void on_urc_replaced(KyAt *, const gchar *urc, const gchar *, gpointer) {
    g_urcs.push_back(std::string("replaced ") + urc);
}

TEST_F(AtClient, UrcsReachTheLatestCallbackOnceEvenAfterReinitialisation) {
    ASSERT_EQ(InitAtInterface(on_urc_replaced), 0);
    ASSERT_EQ(InitAtInterface(on_urc), 0);  // replaces the first
    ASSERT_EQ(InitAtInterface(on_urc), 0);
    service.run([&] { ky_at_emit_urc_broadcast(service.skeleton<KyAt>(), "+CMTI: \"SM\",3", "hello"); });
    ASSERT_TRUE(tbox::test::pump_until([] { return !g_urcs.empty(); }));
    tbox::test::pump_for(150);
    EXPECT_EQ(g_urcs, std::vector<std::string>{"+CMTI: \"SM\",3|hello"});
}

// Every function on a D-Bus error: -22, the call's line (and the wrapper's own), the buffers untouched.
TEST(AtFailures, BusErrorsGiveMinus22AndLeaveTheBuffersAlone) {
    tbox::test::private_bus_address();
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    FakeService unhandled{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    char buf[16] = "untouched";
    unsigned char csq = 77;
    const std::pair<int (*)(char *, unsigned char *), const char *> rows[] = {
        {[](char *b, unsigned char *) { return SendAT("AT", "", 1, b); }, ""},
        {[](char *b, unsigned char *) { return GetModemICCID(b); }, ""},
        {[](char *b, unsigned char *) { return GetModemIMEI(b); }, ""},
        {[](char *b, unsigned char *) { return GetModemIMSI(b); }, ""},
        {[](char *, unsigned char *c) { return GetModemCSQ(c); }, ""},
        {[](char *b, unsigned char *) { return ReadADC(1, b); }, "Read ADC Err\n"},
        {[](char *, unsigned char *) { return GpsInit(); }, "EN GPS UART Err\n"},
    };
    for (const auto &[function, own] : rows) {
        LogCapture log;
        EXPECT_EQ(function(buf, &csq), -22) << own;
        EXPECT_TRUE(
            log.has("send At error:GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method SendAtCmd is not "
                    "implemented on interface ky.at\n"));
        EXPECT_EQ(log.count(), *own != '\0' ? 2u : 1u) << own;
        if (*own != '\0') {
            EXPECT_TRUE(log.has(own)) << own;
        }
    }
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(csq, 77) << "a failed call stores no signal quality";
    EXPECT_EQ(unhandled.count("SendAtCmd"), 7u);  // GpsInit stops at its first step
}

TEST(AtFailures, InitWithoutABusFailsAndSendsStillRefuse) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    LogCapture log;
    EXPECT_EQ(InitAtInterface(nullptr), -1);
    EXPECT_TRUE(log.contains("[AT] init dbus proxy error: "));
    char buf[8] = "keep";
    EXPECT_EQ(SendAT("AT", "", 1, buf), -22);
    EXPECT_STREQ(buf, "keep");
}

}  // namespace
