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

// A fake modem: answers every SendAtCmd with the next scripted (result, text), or (0, "OK").
struct Modem {
    struct Answer {
        int result;
        std::string text;
    };
    std::vector<Answer> script;
    size_t next = 0;

    explicit Modem(FakeService &service) {
        service.handle("handle-send-at-cmd", [this](GDBusMethodInvocation *inv) {
            Answer a = next < script.size() ? script[next] : Answer{0, "OK"};
            ++next;
            ky_at_complete_send_at_cmd(nullptr, inv, a.result, a.text.c_str());
            return true;
        });
    }
};

class AtClient : public ::testing::Test {
protected:
    void SetUp() override { tbox::test::private_bus_address(); }
    std::vector<std::string> sent_args() const {
        std::vector<std::string> out;
        for (const auto &c : service.calls()) {
            if (c.member == "SendAtCmd") out.push_back(c.args);
        }
        return out;
    }
    FakeService service{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    Modem modem{service};
};

TEST_F(AtClient, WrappersSendTheirCommandsPrefixesAndLineCountsExactly) {
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    char buf[256];
    unsigned char csq = 0;
    EXPECT_EQ(GetModemICCID(buf), 0);
    EXPECT_EQ(GetModemIMEI(buf), 0);
    EXPECT_EQ(GetModemIMSI(buf), 0);
    EXPECT_EQ(GetModemCSQ(&csq), 0);
    EXPECT_EQ(ReadADC(3, buf), 0);
    EXPECT_EQ(ReadADC(-1, buf), 0);
    EXPECT_EQ(ReadADC(0, buf), 0);
    EXPECT_EQ(SendAT("AT+CUSTOM=\"x\",1", nullptr, 2, nullptr), 0);
    const std::vector<std::string> expected = {
        "('at+qccid', '+QCCID', 1)", "('at+gsn', '', 3)",     "('at+cimi', '', 3)",   "('at+csq', '+CSQ:', 1)",
        "('AT+QADC=3', '', 1)",      "('AT+QADC=-1', '', 1)", "('AT+QADC=0', '', 1)", "('AT+CUSTOM=\"x\",1', '', 2)"};
    EXPECT_EQ(sent_args(), expected);
}

TEST_F(AtClient, AnswerIsCopiedWholeAndResultPassedOnUnchanged) {
    modem.script = {{0, "89860012345678901234"}, {5, "+CME ERROR: 10"}};
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    char buf[64];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(GetModemICCID(buf), 0);
    EXPECT_STREQ(buf, "89860012345678901234");
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 5);
    EXPECT_STREQ(buf, "+CME ERROR: 10");
}

TEST_F(AtClient, NullArgumentsReturnMinus25AndSendNothing) {
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    char buf[16];
    EXPECT_EQ(SendAT(nullptr, "", 1, buf), -25);
    EXPECT_EQ(GetModemICCID(nullptr), -25);
    EXPECT_EQ(GetModemIMEI(nullptr), -25);
    EXPECT_EQ(GetModemIMSI(nullptr), -25);
    EXPECT_EQ(GetModemCSQ(nullptr), -25);
    EXPECT_EQ(service.count("SendAtCmd"), 0u);
}

TEST_F(AtClient, SendBeforeInitialisationFailsWithoutSending) {
    LogCapture log;
    char buf[16] = "untouched";
    EXPECT_EQ(SendAT("at", "", 1, buf), -22);
    EXPECT_EQ(GetModemIMEI(buf), -22);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(service.count("SendAtCmd"), 0u);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0].priority, 3);
    EXPECT_TRUE(log.contains("send At error:"));
    EXPECT_TRUE(log.contains("not initialised"));
}

TEST_F(AtClient, CsqStoresTheLeadingNumberOfTheAnswer) {
    struct Case {
        const char *answer;
        unsigned char expected;
    };
    const Case cases[] = {{" 31,99", 31},
                          {"31,99", 31},
                          {"99", 99},
                          {"+CSQ: 31,99", 0},
                          {"", 0},
                          {"300,99", 44},
                          {"23,99 and a long tail past twelve bytes", 23}};
    for (const auto &c : cases) modem.script.push_back({0, c.answer});
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    for (const auto &c : cases) {
        unsigned char csq = 200;
        EXPECT_EQ(GetModemCSQ(&csq), 0) << c.answer;
        EXPECT_EQ(csq, c.expected) << c.answer;
    }
}

TEST_F(AtClient, CsqPassesOnTheServiceFailure) {
    modem.script = {{4, "ERROR"}};
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    unsigned char csq = 7;
    EXPECT_EQ(GetModemCSQ(&csq), 4);
}

TEST_F(AtClient, GpsInitSendsFourCommandsInOrder) {
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    EXPECT_EQ(GpsInit(), 0);
    const std::vector<std::string> expected = {
        "('AT+QGPSCFG=\"outport\"', '', 0)", "('AT+QGPSCFG=\"glonassnmeatype\",1', '', 0)",
        "('AT+QGPSCFG=\"galileonmeatype\",1', '', 0)", "('AT+QGPSCFG=\"beidounmeatype\",2', '', 0)"};
    EXPECT_EQ(sent_args(), expected);
}

TEST_F(AtClient, GpsInitStopsAtTheFirstFailingStep) {
    const std::pair<int, const char *> steps[] = {
        {1, "EN GPS UART Err\n"}, {2, "EN GL Gps  Err\n"}, {3, "EN GA Gps  Err\n"}, {4, "EN BD Gps  Err\n"}};
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    size_t sent_before = 0;
    for (const auto &[failing, message] : steps) {
        modem.script.clear();
        modem.next = 0;
        for (int i = 1; i < failing; ++i) modem.script.push_back({0, "OK"});
        modem.script.push_back({30 + failing, "ERROR"});
        LogCapture log;
        EXPECT_EQ(GpsInit(), 30 + failing);
        EXPECT_EQ(service.count("SendAtCmd") - sent_before, static_cast<size_t>(failing));
        sent_before = service.count("SendAtCmd");
        EXPECT_TRUE(log.has(message)) << message;
    }
}

TEST_F(AtClient, ReadAdcLogsWhenTheServiceFails) {
    modem.script = {{0, "1234"}, {9, "ERROR"}};
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    LogCapture log;
    char buf[32];
    EXPECT_EQ(ReadADC(1, buf), 0);
    EXPECT_STREQ(buf, "1234");
    EXPECT_FALSE(log.has("Read ADC Err\n"));
    EXPECT_EQ(ReadADC(1, buf), 9);
    EXPECT_TRUE(log.has("Read ADC Err\n"));
}

TEST_F(AtClient, InitLogsAndAcceptsANullCallback) {
    LogCapture log;
    EXPECT_EQ(InitAtInterface(nullptr), 0);
    EXPECT_NE(g_proxy, nullptr);
    EXPECT_TRUE(log.has("InitAtInterface >>>>>>> \n"));
    EXPECT_TRUE(log.has("handle signal callback is null "));
    EXPECT_EQ(log.lines()[0].priority, 7);
}

}  // namespace

// URC delivery and re-initialisation use their own fixture without a scripted modem.
namespace {

int g_urcCount = 0;
std::string g_lastUrc, g_lastSms;
void on_urc(KyAt *proxy, const gchar *urc, const gchar *sms, gpointer user_data) {
    EXPECT_EQ(proxy, g_proxy);
    EXPECT_EQ(user_data, nullptr);
    ++g_urcCount;
    g_lastUrc = urc;
    g_lastSms = sms;
}

class AtUrc : public ::testing::Test {
protected:
    void SetUp() override { tbox::test::private_bus_address(); }
    void broadcast(const char *urc, const char *sms) {
        service.run([&] { ky_at_emit_urc_broadcast(service.skeleton<KyAt>(), urc, sms); });
    }
    FakeService service{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
};

TEST_F(AtUrc, BroadcastReachesTheCallbackOncePerUrcEvenAfterReinitialisation) {
    ASSERT_EQ(InitAtInterface(on_urc), 0);
    tbox::test::SignalRecorder match_ready;  // the proxy's match rule is in place once Init returned
    broadcast("+CMTI: \"SM\",3", "hello");
    ASSERT_TRUE(tbox::test::pump_until([] { return g_urcCount == 1; }));
    EXPECT_EQ(g_lastUrc, "+CMTI: \"SM\",3");
    EXPECT_EQ(g_lastSms, "hello");

    ASSERT_EQ(InitAtInterface(on_urc), 0);
    broadcast("RING", "");
    ASSERT_TRUE(tbox::test::pump_until([] { return g_urcCount >= 2; }));
    tbox::test::pump_for(200);
    EXPECT_EQ(g_urcCount, 2);
    EXPECT_EQ(g_lastUrc, "RING");
}

}  // namespace

namespace {

TEST(AtFailures, ErrorRepliesAndAbsentServiceGiveMinus22AndLeaveTheBufferAlone) {
    tbox::test::private_bus_address();
    ASSERT_EQ(InitAtInterface(nullptr), 0);
    char buf[16] = "untouched";
    {
        LogCapture log;
        EXPECT_EQ(SendAT("AT", "", 1, buf), -22);  // nobody owns ky.at
        EXPECT_TRUE(log.contains("send At error:"));
        EXPECT_EQ(log.lines().at(0).priority, 3);
    }
    FakeService unhandled{"ky.at", "/ky/at", [] { return gpointer(ky_at_skeleton_new()); }};
    LogCapture log;
    EXPECT_EQ(SendAT("AT", "", 1, buf), -22);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_TRUE(log.contains("Method SendAtCmd is not implemented on interface ky.at")) << log.messages().at(0);
    EXPECT_EQ(unhandled.count("SendAtCmd"), 1u);
}

TEST(AtFailures, InitWithoutABusFailsAndLaterSendsStillRefuse) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    LogCapture log;
    EXPECT_EQ(InitAtInterface(nullptr), -1);
    EXPECT_EQ(g_proxy, nullptr);
    EXPECT_TRUE(log.contains("[AT] init dbus proxy error: "));
    char buf[8] = "keep";
    EXPECT_EQ(SendAT("AT", "", 1, buf), -22);
    EXPECT_STREQ(buf, "keep");
}

TEST(AtGpio, EnableAndDisableAlwaysSucceedAndLogAtInfo) {
    LogCapture log;
    EXPECT_EQ(GpsEnable(), 0);  // the script does not exist on a desktop: its failure is ignored
    EXPECT_EQ(GpsDisable(), 0);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].priority, 6);
    EXPECT_TRUE(log.has("GpsEnable start !\n"));
    EXPECT_TRUE(log.has("GpsEnable stop !\n"));
}

}  // namespace
