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
#include "support/files.h"
#include "support/kept_texts.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "tbox/upgrade.h"
#include "tbox/upgrade_config.h"
#include "tbox/upgrade_gdbus.h"
#include "upgrade/upgrade_internal.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;
namespace kept = tbox::test::kept;

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
            if (refuseBinding) return refuse(inv, "busy"), true;
            g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &pid);
            boundPid = pid;
            return ky_update_complete_bind_upgrade(nullptr, inv), true;
        });
        service.handle("handle-get-bind-id", [this](GDBusMethodInvocation *inv) {
            if (boundPid == kFails) return refuse(inv, "no binding"), true;
            return ky_update_complete_get_bind_id(nullptr, inv, boundPid), true;
        });
        service.handle("handle-unbind-upgrade", [this](GDBusMethodInvocation *inv) {
            if (refuseBinding) return refuse(inv, "busy"), true;
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
    std::atomic<bool> refuseBinding{false};  // BindUpgrade and UnbindUpgrade answer with a D-Bus error
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
    EXPECT_EQ(BindUpgradeTask(), -1);
    EXPECT_EQ(GetCanParserStatus(&status), -1);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(StartUpgradePkg("/p.tgz", 1, message), -1);
    EXPECT_STREQ(message, "untouched");
    EXPECT_TRUE(take_states().empty());
    for (const char *member : {"BindUpgrade", "GetBindId", "UnbindUpgrade", "StartUpgrade", "GetCanParserStatus"}) {
        EXPECT_EQ(service.count(member), 0u) << member;
    }
    EXPECT_TRUE(log.has("ERR:UpgradeTask have not init!\n"));
    // The configuration channel lives in a file of its own, yet its lines keep the name they always had.
    EXPECT_EQ(SubscriptionConfigMsg(3, CONFIG_TYPE_FIRST), -1);
    EXPECT_TRUE(log.contains("upgrade_api.cpp-")) << "a line of the configuration channel";
    EXPECT_TRUE(log.has(kept::kConfigNotOpen));
}

TEST(UpgradeWaits, TheShippedWaitsAreTheDocumentedOnes) {
    // tbox/upgrade.h: up to 300 s for the StartUpgrade reply, then a status query once a second, 181 sleeps;
    // a download is given 10 s to connect and aborted below 1 byte/s for 60 s.
    const tbox::upgrade::Waits shipped;
    EXPECT_EQ(shipped.startReplyUs, int64_t{300} * 1000 * 1000);
    EXPECT_EQ(shipped.pollIntervalUs, uint64_t{1000} * 1000);
    EXPECT_EQ(shipped.stallSeconds, 60);
    EXPECT_EQ(tbox::upgrade::kPollLimit + 1, 181);
    EXPECT_EQ(tbox::upgrade::kConnectTimeoutSeconds, 10);
    const tbox::upgrade::Waits &inForce = tbox::upgrade::waits();  // nothing set them in this process
    EXPECT_EQ(inForce.startReplyUs, shipped.startReplyUs);
    EXPECT_EQ(inForce.pollIntervalUs, shipped.pollIntervalUs);
    EXPECT_EQ(inForce.stallSeconds, shipped.stallSeconds);
}

TEST(UpgradeInit, FailsWithoutABusAndTriesAgainLater) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    EXPECT_EQ(InitUpgradeClient(), -1);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    FakeService service{"ky.update", "/ky/update", [] { return gpointer(ky_update_skeleton_new()); }};
    EXPECT_EQ(InitUpgradeClient(), 0);
}

TEST_F(Upgrade, OnlyTheBoundProcessUnbindsAndServiceErrorsAreLogged) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(service.calls_to("BindUpgrade"), std::vector<std::string>{"(" + std::to_string(getpid()) + ",)"});
    boundPid = getpid() + 1;  // another process took the upgrade over
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_EQ(service.count("UnbindUpgrade"), 0u);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(UnbindUpgradeTask(5), 0);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(UnbindUpgradeTask(0), 0);
    EXPECT_EQ(service.calls_to("UnbindUpgrade"), (std::vector<std::string>{"(true,)", "(false,)"}));

    LogCapture log;
    boundPid = kFails;  // a failed GetBindId reads as "not bound"
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_TRUE(log.has(std::string(kept::kBindedPid) + "GDBus.Error:ky.update.Error.Refused: no binding]\n"));
    EXPECT_EQ(service.count("UnbindUpgrade"), 2u);
    int32_t status = 5;
    service.handle("handle-get-can-parser-status", [](GDBusMethodInvocation *inv) {
        return ky_update_complete_get_can_parser_status(nullptr, inv, -7), true;
    });
    EXPECT_EQ(GetCanParserStatus(&status), 0);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(GetCanParserStatus(nullptr), -1);
    EXPECT_EQ(service.count("GetCanParserStatus"), 1u);
}

// Every method the service refuses: the call fails, the D-Bus error is logged with its message, and the
// caller's data stays as it was.
TEST_F(Upgrade, EachRefusedMethodFailsTheCallAndLogsTheServicesError) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    refuseBinding = true;
    service.handle("handle-get-can-parser-status",
                   [](GDBusMethodInvocation *inv) { return refuse(inv, "busy"), true; });
    const std::string error = "GDBus.Error:ky.update.Error.Refused: busy";
    LogCapture log;
    EXPECT_EQ(BindUpgradeTask(), -1);
    EXPECT_TRUE(log.has("BindUpgradeTask error:" + error + "\n"));
    boundPid = getpid();  // bound, so the unbinding itself is sent, and refused
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_EQ(service.count("UnbindUpgrade"), 1u);
    EXPECT_TRUE(log.has("UnbindUpgradeTask error:" + error + "\n"));
    int32_t status = 5;
    EXPECT_EQ(GetCanParserStatus(&status), -1);
    EXPECT_EQ(status, 5);
    EXPECT_TRUE(log.has("GetCanParserStatus error:" + error + "\n"));
    // Status queries that fail are logged one by one, and count as "in progress" (see the start case).
    statuses = {kFails, 0};
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), 0);
    EXPECT_TRUE(log.has("GetUpgradeStatus error:GDBus.Error:ky.update.Error.Refused: status unknown\n"));
}

void record_replaced(int32_t) {
    ADD_FAILURE() << "a replaced state callback was called";
}

TEST_F(Upgrade, ALaterStateCallbackReplacesTheEarlierOneAndNullKeepsIt) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    EXPECT_EQ(RegisterStatueChangedCb(record_replaced), 0);
    EXPECT_EQ(RegisterStatueChangedCb(record_state), 0);
    EXPECT_EQ(RegisterStatueChangedCb(nullptr), -1);
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), 0);
    EXPECT_EQ(take_states(), (std::vector<int>{1, 0}));
}

TEST_F(Upgrade, StartRefusesBadArgumentsUnsentThenHandsOverTheReplyAndPollsUntilSuccessFailureOrTheLimit) {
    ASSERT_EQ(InitUpgradeClient(), 0);
    LogCapture log;
    EXPECT_EQ(InitUpgradeClient(), 0);
    EXPECT_TRUE(log.has(kept::kHaveInited));
    char refused[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg(nullptr, 1, refused), -1);
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, nullptr), -1);
    EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/\xff\xfe-pkg.tgz", 1, refused), -1);
    EXPECT_STREQ(refused, "upgrade:package path is not UTF-8");
    EXPECT_TRUE(log.has(kept::kPathFailue));
    EXPECT_TRUE(take_states().empty());  // refused before the callback, and nothing sent (see the last check)
    const std::string longText(1000, 'r');
    struct Row {
        const char *reply;
        std::vector<int> statuses;
        int result;
        size_t queries;
        std::string message;
        std::string line;  // the outcome's log line
    };
    const std::string started = kept::kStartSuccessed;
    const Row rows[] = {
        {"accepted", {0}, 0, 1, "accepted", started},
        {"accepted", {2}, -1, 1, "accepted", kept::kStatusFailue + std::string("2")},
        {"accepted", {kFails, kFails, 0}, 0, 3, "accepted", "upgrade success:0 "},  // a failed query is "in progress"
        {"accepted", {1}, -1, 181, "accepted", kept::kLimitFailue},                 // 181 sleeps, then the limit
        {"accepted", {kFails}, -1, 181, "accepted", kept::kLimitFailue},
        {longText.c_str(), {0}, 0, 1, longText.substr(0, 256), started},
        {nullptr, {0}, -1, 0, "GDBus.Error:ky.update.Error.Refused: package damaged", "upgrade fail\n"},
    };
    for (const Row &row : rows) {
        LogCapture rowLog;
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
        EXPECT_TRUE(rowLog.has(row.line)) << row.line;
    }
    EXPECT_EQ(service.calls_to("StartUpgrade").size(), std::size(rows));
    EXPECT_EQ(service.calls_to("StartUpgrade").front(), "('/oemdata/upgrade/complete.tgz', 0x07)");
}

TEST_F(Upgrade, ALateReplyNeitherTouchesTheEndedWaitNorWakesTheNextOne) {
    // The first answer comes after its (shortened) wait ended, while the second call waits for its own.
    ASSERT_EQ(InitUpgradeClient(), 0);
    firstReplyMs = 600;
    set_waits(300 * 1000);
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:Upgrade fail");
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
    LogCapture log;
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:Upgrade fail");
    EXPECT_TRUE(log.has(kept::kNoReplyFailue));
    EXPECT_EQ(service.count("StartUpgrade"), 1u);
}

}  // namespace
