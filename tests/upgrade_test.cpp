// Upgrade task client against a fake ky.update service on a private bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "tbox/upgrade.h"
#include "tbox/upgrade_gdbus.h"
#include "upgrade/upgrade_internal.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;

namespace {

// What the start-upgrade state callback saw, and on which thread.
std::mutex g_statesMutex;
std::vector<int> g_states;
std::thread::id g_stateThread;
void record_state(int32_t state) {
    const std::lock_guard<std::mutex> lock(g_statesMutex);
    g_states.push_back(state);
    g_stateThread = std::this_thread::get_id();
}
std::vector<int> take_states() {
    const std::lock_guard<std::mutex> lock(g_statesMutex);
    return std::exchange(g_states, {});
}

// Runs `fn` on the calling (service) thread's context after `ms` milliseconds.
void later(unsigned ms, std::function<void()> fn) {
    GSource *source = g_timeout_source_new(ms);
    g_source_set_callback(
        source, [](gpointer f) { return (*static_cast<std::function<void()> *>(f))(), gboolean(G_SOURCE_REMOVE); },
        new std::function<void()>(std::move(fn)), [](gpointer f) { delete static_cast<std::function<void()> *>(f); });
    g_source_attach(source, g_main_context_get_thread_default());
    g_source_unref(source);
}

void refuse(GDBusMethodInvocation *invocation, const char *text) {
    g_dbus_method_invocation_return_dbus_error(invocation, "ky.update.Error.Refused", text);
}

void set_waits(int64_t startReplyUs) {
    tbox::upgrade::Waits waits;
    waits.pollIntervalUs = 1000;
    waits.startReplyUs = startReplyUs;
    tbox::upgrade::set_waits_for_tests(waits);
}

constexpr int kFails = -1000;  // a scripted answer that is a D-Bus error

// A ky.update service that keeps the bound process as the real one does and answers from scripts, and a
// thread that runs the default main context, where StartUpgradePkg's reply is handled.
class Upgrade : public ::testing::Test {
protected:
    void SetUp() override {
        set_waits(10 * 1000000);
        RegisterStatueChangedCb(record_state);
        service.handle("handle-bind-upgrade", [this](GDBusMethodInvocation *inv) {
            gint32 pid = 0;
            g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &pid);
            boundPid = pid;
            return ky_update_complete_bind_upgrade(nullptr, inv), true;
        });
        service.handle("handle-get-bind-id", [this](GDBusMethodInvocation *inv) {
            if (boundPid == kFails) return refuse(inv, "no binding"), true;
            return ky_update_complete_get_bind_id(nullptr, inv, boundPid), true;
        });
        service.handle("handle-unbind-upgrade", [this](GDBusMethodInvocation *inv) {
            boundPid = 0;
            return ky_update_complete_unbind_upgrade(nullptr, inv), true;
        });
        service.handle("handle-get-upgrade-status", [this](GDBusMethodInvocation *inv) {
            const int status = statuses[std::min<size_t>(polls++, statuses.size() - 1)];
            if (status == kFails) return refuse(inv, "status unknown"), true;
            return ky_update_complete_get_upgrade_status(nullptr, inv, status), true;
        });
        service.handle("handle-start-upgrade", [this](GDBusMethodInvocation *inv) {
            const int n = ++starts;
            g_object_ref(inv);
            later(n == 1 ? firstReplyMs : laterReplyMs, [this, inv, n] {
                if (reply == nullptr) {
                    refuse(inv, "package damaged");
                } else {
                    ky_update_complete_start_upgrade(nullptr, inv, n == 1 ? reply : "second");
                }
                g_object_unref(inv);
            });
            return true;
        });
        pump = std::thread([this] {
            while (!stopPump) g_main_context_iteration(nullptr, TRUE);
        });
    }
    void TearDown() override { stop_pump(); }
    void stop_pump() {
        stopPump = true;
        g_main_context_wakeup(nullptr);
        if (pump.joinable()) pump.join();
    }

    FakeService service{"ky.update", "/ky/update", [] { return gpointer(ky_update_skeleton_new()); }};
    std::atomic<int> boundPid{0}, starts{0};
    std::atomic<size_t> polls{0};
    std::vector<int> statuses{0};                 // answers of successive status queries; the last one repeats
    const char *reply = "accepted";               // the StartUpgrade answer; nullptr: a D-Bus error
    unsigned firstReplyMs = 0, laterReplyMs = 0;  // delays of the first and the later StartUpgrade answers
    std::atomic<bool> stopPump{false};
    std::thread pump;
};

TEST_F(Upgrade, BeforeInitEverythingIsRefusedAndNothingSent) {
    char message[TBOX_START_MESSAGE_SIZE] = "untouched";
    int32_t status = 5;
    LogCapture log;
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_FALSE(log.contains("not init"));  // the unbind refuses silently
    EXPECT_EQ(BindUpgradeTask(), -1);
    EXPECT_EQ(GetCanParserStatus(&status), -1);
    EXPECT_EQ(StartUpgradePkg("/p.tgz", 1, message), -1);
    EXPECT_TRUE(log.has("ERR:UpgradeTask have not init!\n"));
    EXPECT_STREQ(message, "untouched");
    EXPECT_EQ(status, 5);
    EXPECT_TRUE(take_states().empty());
    for (const char *member : {"BindUpgrade", "GetBindId", "StartUpgrade", "GetCanParserStatus"}) {
        EXPECT_EQ(service.count(member), 0u) << member;
    }
    EXPECT_EQ(InitUpgradeClient(), 0);
    EXPECT_EQ(InitUpgradeClient(), 0);
    EXPECT_TRUE(log.has("BindUpgradeTask have inited\n"));
}

TEST(UpgradeInit, FailsWithoutABusAndTriesAgainLater) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    {
        LogCapture log;
        EXPECT_EQ(InitUpgradeClient(), -1);
        EXPECT_TRUE(log.contains("Error:new proxy for upgrade["));
    }
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    FakeService service{"ky.update", "/ky/update", [] { return gpointer(ky_update_skeleton_new()); }};
    EXPECT_EQ(InitUpgradeClient(), 0);
}

TEST_F(Upgrade, OnlyTheBoundProcessUnbindsAndServiceErrorsAreLogged) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    EXPECT_EQ(UnbindUpgradeTask(0), -1);  // nobody bound
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(service.calls_to("BindUpgrade"), std::vector<std::string>{"(" + std::to_string(getpid()) + ",)"});
    boundPid = getpid() + 1;  // another process took the upgrade over
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_EQ(BindUpgradeTask() | UnbindUpgradeTask(5) | BindUpgradeTask() | UnbindUpgradeTask(0), 0);
    EXPECT_EQ(service.calls_to("UnbindUpgrade"), (std::vector<std::string>{"(true,)", "(false,)"}));

    LogCapture log;
    boundPid = kFails;  // a failed GetBindId reads as "not bound"
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_TRUE(log.has("Error:CheckBindedPid fail!\n[GDBus.Error:ky.update.Error.Refused: no binding]\n"));
    EXPECT_EQ(service.count("UnbindUpgrade"), 2u);
    int32_t status = 5;
    EXPECT_EQ(GetCanParserStatus(&status), -1);  // not answered by this service
    EXPECT_TRUE(
        log.has("GetCanParserStatus error:GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method "
                "GetCanParserStatus is not implemented on interface ky.update\n"));
    EXPECT_EQ(status, 5);
    service.handle("handle-get-can-parser-status", [](GDBusMethodInvocation *inv) {
        return ky_update_complete_get_can_parser_status(nullptr, inv, -7), true;
    });
    EXPECT_EQ(GetCanParserStatus(nullptr), -1);
    EXPECT_EQ(GetCanParserStatus(&status), 0);
    EXPECT_EQ(status, -7);
}

TEST_F(Upgrade, StartHandsOverTheReplyThenPollsUntilSuccessFailureOrTheLimit) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    const std::string longText(1000, 'r');
    struct Row {
        const char *reply;
        std::vector<int> statuses;
        int result;
        size_t queries;
        std::string message;
    };
    const Row rows[] = {
        {"accepted", {0}, 0, 1, "accepted"},
        {"accepted", {1, 1, 1, 0}, 0, 4, "accepted"},  // three sleeps, then success
        {"accepted", {2}, -1, 1, "accepted"},
        {"accepted", {1, 1, -3}, -1, 3, "accepted"},
        {"accepted", {kFails, kFails, 0}, 0, 3, "accepted"},  // a failed query is "in progress", never success
        {"accepted", {kFails, 2}, -1, 2, "accepted"},
        {"accepted", {1}, -1, 181, "accepted"},  // 181 sleeps, then the limit
        {"accepted", {kFails}, -1, 181, "accepted"},
        {longText.c_str(), {0}, 0, 1, longText.substr(0, 256)},
        {nullptr, {0}, -1, 0, "GDBus.Error:ky.update.Error.Refused: package damaged"},
    };
    for (const Row &row : rows) {
        reply = row.reply;
        statuses = row.statuses;
        polls = 0;
        starts = 0;
        std::vector<char> message(TBOX_START_MESSAGE_SIZE + 8, '#');
        EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/complete.tgz", 7, message.data()), row.result);
        EXPECT_EQ(polls, row.queries) << ::testing::PrintToString(row.statuses);
        EXPECT_EQ(std::string(message.data()), row.message);
        EXPECT_EQ(std::string(message.data() + TBOX_START_MESSAGE_SIZE, 8), "########");
        EXPECT_EQ(take_states(), (std::vector<int>{1, 0}));
        EXPECT_EQ(g_stateThread, std::this_thread::get_id());
    }
    EXPECT_EQ(service.calls_to("StartUpgrade").front(), "('/oemdata/upgrade/complete.tgz', 0x07)");
}

TEST_F(Upgrade, StartRefusesBadArgumentsBeforeTheCallbackAndWithoutSending) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    EXPECT_EQ(RegisterStatueChangedCb(nullptr), -1);  // keeps record_state
    char message[TBOX_START_MESSAGE_SIZE] = "untouched";
    EXPECT_EQ(StartUpgradePkg(nullptr, 1, message), -1);
    EXPECT_STREQ(message, "untouched");
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, nullptr), -1);
    EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/\xff\xfe-pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:package path is not UTF-8");
    EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/\xc3(.tgz", 1, message), -1);
    EXPECT_TRUE(take_states().empty());
    EXPECT_EQ(service.count("StartUpgrade"), 0u);
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), 0);
    EXPECT_EQ(take_states(), (std::vector<int>{1, 0}));
}

TEST_F(Upgrade, ALateReplyNeitherTouchesTheEndedWaitNorWakesTheNextOne) {
    // The first answer comes after its (shortened) wait ended, while the second call waits for its own.
    ASSERT_EQ(InitUpgradeClient(), 0);
    firstReplyMs = 600;
    set_waits(300 * 1000);
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:Upgrade fail");
    EXPECT_EQ(polls, 0u);
    set_waits(10 * 1000000);
    laterReplyMs = 1200;
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), 0);
    EXPECT_STREQ(message, "second");
    EXPECT_EQ(take_states(), (std::vector<int>{1, 0, 1, 0}));
}

TEST_F(Upgrade, WithNobodyRunningTheContextTheWaitEndsAsNoReply) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    stop_pump();
    set_waits(200 * 1000);
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:Upgrade fail");
    EXPECT_EQ(service.count("StartUpgrade"), 1u);
    LogCapture log;  // the reply, handled now, is dropped without harm
    EXPECT_TRUE(tbox::test::pump_until([&] { return log.has("upgrade start successed\n"); }));
}

}  // namespace
