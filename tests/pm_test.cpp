// Power-management client against a fake ky.pm service: module name, checks, wire arguments, signals.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "tbox/pm.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;

namespace {

using Strings = std::vector<std::string>;
Strings g_events;
void on_state(uint8_t state, uint8_t source, int32_t id) {
    g_events.push_back(std::to_string(state) + "," + std::to_string(source) + "," + std::to_string(id));
}
void on_gsensor() {
    g_events.push_back("gsensor");
}

class PmClient : public ::testing::Test {
protected:
    FakeService service{"ky.pm", "/ky/pm", [] { return gpointer(ky_pm_skeleton_new()); }};
    LogCapture log;
};

TEST_F(PmClient, NothingIsSentBeforeInitAndTheFirstModuleNameStays) {
    const std::function<int()> all[] = {GetPmState,
                                        GetPmWakeUpSource,
                                        GetMcuHeartbeatStatus,
                                        [] { return Wakeup(1); },
                                        [] { return SetSleepEvent(nullptr); },
                                        [] { return CleanSleepEvent("x"); },
                                        [] { return CreateSleepAlarm(60, 3); },
                                        [] { return RegisterPmStateChangeCBack(on_state); },
                                        [] { return RegisterPmGsensorWakeUpCBack(on_gsensor); }};
    for (const auto &function : all) EXPECT_EQ(function(), -1);
    DeleteSleepAlarm(3);
    EXPECT_EQ(log.count(), std::size(all) + 1);
    EXPECT_TRUE(log.has("PM Client not init\n") && !log.contains("sleepEvent is NULL"));
    EXPECT_EQ(service.members(), Strings{});
    EXPECT_TRUE(g_pmStateChangedCBack == nullptr && g_pmGsensorWakeUpCBack == nullptr);

    EXPECT_EQ(InitPmClient(nullptr), -1);
    EXPECT_TRUE(log.has("moduleName is NULL,Please provide one\n"));
    ASSERT_EQ(InitPmClient("nav"), 0);
    EXPECT_TRUE(log.has("PM Client Init Success.ModuleName[nav]\n"));
    EXPECT_EQ(InitPmClient(nullptr), 0);
    EXPECT_EQ(InitPmClient("other"), 0);
    EXPECT_TRUE(log.has("Pm Client Has Init. Cur moduleName[nav]\n"));
    EXPECT_EQ(GetPmState(), -1);  // the fake claims no method: logged under the first name
    EXPECT_TRUE(
        log.has("ModuleName[nav] GetPmState RPC Error[GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: "
                "Method GetPowerState is not implemented on interface ky.pm]\n"));
}

TEST_F(PmClient, ArgumentsAndAnswersPassUnchangedAndCallFailuresAreLogged) {
    service.reply("handle-get-power-state", g_variant_new("(y)", 255));
    service.reply("handle-get-wake-up-source", g_variant_new("(y)", 7));
    service.reply("handle-get-mcu-heartbeat", g_variant_new("(i)", 12345));
    service.reply("handle-create-sleep-alarm", nullptr);
    service.reply("handle-set-sleep-event", nullptr);
    service.reply("handle-wakeup", nullptr);
    ASSERT_EQ(InitPmClient("nav"), 0);
    EXPECT_EQ(GetPmState(), 255);
    EXPECT_EQ(GetPmWakeUpSource(), 7);
    EXPECT_EQ(GetMcuHeartbeatStatus(), 12345);
    EXPECT_EQ(CreateSleepAlarm(60, 3), 0);
    EXPECT_EQ(Wakeup(4), 0);
    EXPECT_EQ(SetSleepEvent("gps"), 0);
    EXPECT_EQ(SetSleepEvent(nullptr) | SetSleepEvent("\xc0\xafgps") | CleanSleepEvent("\xff"), -1);
    EXPECT_TRUE(log.has("sleepEvent is NULL,Please provide one\n") &&
                log.has("ModuleName[nav] sleepEvent is not UTF-8\n"));
    EXPECT_EQ(service.calls_to("CreateSleepAlarm"), Strings{"(60, 3)"});
    EXPECT_EQ(service.calls_to("Wakeup"), Strings{"(4,)"});
    EXPECT_EQ(service.calls_to("SetSleepEvent"), Strings{"('gps',)"});
    EXPECT_EQ(service.count("CleanSleepEvent"), 0u);

    const std::string unknown = "GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method ";
    EXPECT_EQ(CleanSleepEvent("gps"), -1);
    DeleteSleepAlarm(3);
    EXPECT_TRUE(log.has("ModuleName[nav] EnableSleep(sleelEvent:gps) RPC Error[" + unknown +
                        "CleanSleepEvent is not implemented on interface ky.pm] \n"));
    EXPECT_TRUE(log.has("ModuleName[nav] DeleteSleepAlarm Failed,sleepAlarmEventId[3]-Err[" + unknown +
                        "DeleteSleepAlarm is not implemented on interface ky.pm]\n"));
    EXPECT_EQ(service.calls_to("DeleteSleepAlarm"), Strings{"(3,)"});
}

TEST_F(PmClient, CallbacksAreRegisteredOnceAndReceiveTheSignalsUnchanged) {
    ASSERT_EQ(InitPmClient("nav"), 0);
    service.run([&] { ky_pm_emit_power_state_changed(service.skeleton<KyPm>(), 9, 9, 9); });  // no callback yet
    tbox::test::pump_for(100);
    EXPECT_EQ(RegisterPmStateChangeCBack(nullptr), -1);
    EXPECT_TRUE(log.has("PmStateChangedCBack is NULL,Please provide one\n"));
    EXPECT_EQ(RegisterPmStateChangeCBack(on_state), 0);
    EXPECT_EQ(RegisterPmStateChangeCBack(nullptr), -1);  // "already stored" is checked before NULL
    EXPECT_TRUE(log.has("PM StateChanged CallBack has register,Cur ModuleName[nav] \n"));
    EXPECT_EQ(RegisterPmGsensorWakeUpCBack(nullptr), -1);
    EXPECT_EQ(RegisterPmGsensorWakeUpCBack(on_gsensor), 0);
    EXPECT_EQ(RegisterPmGsensorWakeUpCBack(on_gsensor), -1);
    EXPECT_TRUE(log.has("PM Gsensor WakeUp is NULL,Please provide one\n") &&
                log.has("PM Gsensor WakeUp CallBack has registe \n"));
    EXPECT_EQ(g_pmStateChangedCBack, on_state);
    service.run([&] {
        ky_pm_emit_power_state_changed(service.skeleton<KyPm>(), 2, 5, 7);
        ky_pm_emit_gsensor_wake_up(service.skeleton<KyPm>());
    });
    ASSERT_TRUE(tbox::test::pump_until([] { return g_events.size() == 2; }));
    EXPECT_EQ(g_events, (Strings{"2,5,7", "gsensor"}));
    EXPECT_TRUE(log.has("ModuleName[nav] PM StateChanged CallBack Finsh\n") &&
                log.has("PM Gsensor WakeUp CallBack Finsh\n"));
}

}  // namespace
