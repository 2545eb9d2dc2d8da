// Upgrade task client against a fake ky.update service on a private bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/pump.h"
#include "support/test_bus.h"
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
std::vector<int> states() {
    const std::lock_guard<std::mutex> lock(g_statesMutex);
    return g_states;
}
void other_callback(int32_t) {}

gpointer new_update_skeleton() {
    return gpointer(ky_update_skeleton_new());
}

// Runs `fn` on the calling (service) thread's context after `ms` milliseconds.
void later(unsigned ms, std::function<void()> fn) {
    GSource *source = g_timeout_source_new(ms);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()> *>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(fn)),
        [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
    g_source_attach(source, g_main_context_get_thread_default());
    g_source_unref(source);
}

void refuse(GDBusMethodInvocation *invocation, const char *text) {
    g_dbus_method_invocation_return_dbus_error(invocation, "ky.update.Error.Refused", text);
}

TEST(UpgradeClientBeforeInit, RefusesEverythingAndSendsNothing) {
    FakeService service{"ky.update", "/ky/update", new_update_skeleton};
    ASSERT_EQ(RegisterStatueChangedCb(record_state), 0);
    char message[TBOX_START_MESSAGE_SIZE] = "untouched";
    int32_t status = 5;
    LogCapture log;
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_FALSE(log.contains("not init"));  // the unbind refuses silently
    EXPECT_EQ(BindUpgradeTask(), -1);
    EXPECT_EQ(GetCanParserStatus(&status), -1);
    EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/pkg.tgz", 1, message), -1);
    EXPECT_TRUE(log.has("ERR:UpgradeTask have not init!\n"));
    EXPECT_STREQ(message, "untouched");
    EXPECT_EQ(status, 5);
    EXPECT_TRUE(states().empty());
    for (const char *member : {"BindUpgrade", "GetBindId", "UnbindUpgrade", "StartUpgrade", "GetCanParserStatus"}) {
        EXPECT_EQ(service.count(member), 0u) << member;
    }
}

TEST(UpgradeClientInit, FailsWithoutABusTriesAgainLaterAndAnswersASecondCallWithZero) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    {
        LogCapture log;
        EXPECT_EQ(InitUpgradeClient(), -1);
        EXPECT_TRUE(log.contains("Error:new proxy for upgrade["));
        EXPECT_EQ(BindUpgradeTask(), -1);
    }
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    FakeService service{"ky.update", "/ky/update", new_update_skeleton};  // points the system bus at the test bus
    EXPECT_EQ(InitUpgradeClient(), 0);
    LogCapture log;
    EXPECT_EQ(InitUpgradeClient(), 0);
    EXPECT_TRUE(log.has("BindUpgradeTask have inited\n"));
}

// A service that keeps the bound process ID as the real one does.
class UpgradeClient : public ::testing::Test {
protected:
    void SetUp() override {
        tbox::upgrade::Waits waits;
        waits.pollIntervalUs = 1000;
        waits.startReplyUs = 10 * 1000000;
        tbox::upgrade::set_waits_for_tests(waits);
        service.handle("handle-bind-upgrade", [this](GDBusMethodInvocation *inv) {
            g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &boundPid);
            ky_update_complete_bind_upgrade(nullptr, inv);
            return true;
        });
        service.handle("handle-get-bind-id", [this](GDBusMethodInvocation *inv) {
            ky_update_complete_get_bind_id(nullptr, inv, boundPid);
            return true;
        });
        service.handle("handle-unbind-upgrade", [this](GDBusMethodInvocation *inv) {
            boundPid = 0;
            ky_update_complete_unbind_upgrade(nullptr, inv);
            return true;
        });
        ASSERT_EQ(InitUpgradeClient(), 0);
        ASSERT_EQ(RegisterStatueChangedCb(record_state), 0);
    }
    FakeService service{"ky.update", "/ky/update", new_update_skeleton};
    std::atomic<int> boundPid{0};
};

TEST_F(UpgradeClient, OnlyTheBoundProcessUnbinds) {
    const std::string me = "(" + std::to_string(getpid()) + ",)";
    EXPECT_EQ(UnbindUpgradeTask(0), -1);  // nobody bound
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(service.calls_to("BindUpgrade"), std::vector<std::string>{me});
    boundPid = getpid() + 1;  // another process took the upgrade over
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_EQ(service.count("UnbindUpgrade"), 0u);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(UnbindUpgradeTask(5), 0);
    EXPECT_EQ(BindUpgradeTask(), 0);
    EXPECT_EQ(UnbindUpgradeTask(0), 0);
    EXPECT_EQ(service.calls_to("UnbindUpgrade"), (std::vector<std::string>{"(true,)", "(false,)"}));
    EXPECT_EQ(service.count("GetBindId"), 4u);
}

TEST_F(UpgradeClient, CanParserStatusIsStoredThroughThePointer) {
    service.handle("handle-get-can-parser-status", [](GDBusMethodInvocation *inv) {
        ky_update_complete_get_can_parser_status(nullptr, inv, -7);
        return true;
    });
    int32_t status = 5;
    EXPECT_EQ(GetCanParserStatus(nullptr), -1);
    EXPECT_EQ(GetCanParserStatus(&status), 0);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(service.count("GetCanParserStatus"), 1u);
}

TEST(UpgradeClientErrors, ServiceErrorsAreLoggedWithTheirMessageAndGiveMinusOne) {
    FakeService service{"ky.update", "/ky/update", new_update_skeleton};  // answers nothing but GetBindId
    std::atomic<bool> knowsBinding{true};
    service.handle("handle-get-bind-id", [&knowsBinding](GDBusMethodInvocation *inv) {
        if (knowsBinding) {
            ky_update_complete_get_bind_id(nullptr, inv, getpid());
        } else {
            refuse(inv, "no binding");
        }
        return true;
    });
    ASSERT_EQ(InitUpgradeClient(), 0);
    const std::string unknown = "GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method ";
    const std::string iface = " is not implemented on interface ky.update";
    LogCapture log;
    int32_t status = 5;
    EXPECT_EQ(BindUpgradeTask(), -1);
    EXPECT_EQ(GetCanParserStatus(&status), -1);
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_EQ(status, 5);
    EXPECT_TRUE(log.has("BindUpgradeTask error:" + unknown + "BindUpgrade" + iface + "\n"));
    EXPECT_TRUE(log.has("GetCanParserStatus error:" + unknown + "GetCanParserStatus" + iface + "\n"));
    EXPECT_TRUE(log.has("UnbindUpgradeTask error:" + unknown + "UnbindUpgrade" + iface + "\n"));

    EXPECT_EQ(service.count("UnbindUpgrade"), 1u);

    knowsBinding = false;  // a failed GetBindId means "not bound": nothing is unbound
    EXPECT_EQ(UnbindUpgradeTask(1), -1);
    EXPECT_TRUE(log.has("Error:CheckBindedPid fail!\n[GDBus.Error:ky.update.Error.Refused: no binding]\n"));
    EXPECT_EQ(service.count("UnbindUpgrade"), 1u);
}

TEST(UpgradeClientCallback, NullKeepsTheStoredCallback) {
    EXPECT_EQ(RegisterStatueChangedCb(nullptr), -1);
    EXPECT_EQ(RegisterStatueChangedCb(other_callback), 0);
    EXPECT_EQ(RegisterStatueChangedCb(record_state), 0);  // a later call replaces
    EXPECT_EQ(RegisterStatueChangedCb(nullptr), -1);
    FakeService service{"ky.update", "/ky/update", new_update_skeleton};
    service.handle("handle-start-upgrade", [](GDBusMethodInvocation *inv) {
        refuse(inv, "no");
        return true;
    });
    ASSERT_EQ(InitUpgradeClient(), 0);
    std::atomic<bool> stop{false};
    std::thread pump([&stop] {
        while (!stop) g_main_context_iteration(nullptr, TRUE);
    });
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 0, message), -1);
    stop = true;
    g_main_context_wakeup(nullptr);
    pump.join();
    EXPECT_EQ(states(), (std::vector<int>{1, 0}));
}

// StartUpgradePkg with another thread running the default main context, as the header asks.
class StartUpgrade : public UpgradeClient {
protected:
    void SetUp() override {
        UpgradeClient::SetUp();
        service.handle("handle-get-upgrade-status", [this](GDBusMethodInvocation *inv) {
            const size_t n = polls++;
            const int status = statuses.empty() ? 1 : statuses[std::min(n, statuses.size() - 1)];
            if (status == kFails) {
                refuse(inv, "status unknown");
            } else {
                ky_update_complete_get_upgrade_status(nullptr, inv, status);
            }
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
    // The service accepts every start request with `text` after `delayMs`.
    void accept_with(const std::string &text, unsigned delayMs = 0) {
        service.handle("handle-start-upgrade", [text, delayMs](GDBusMethodInvocation *inv) {
            g_object_ref(inv);
            later(delayMs, [inv, text] {
                ky_update_complete_start_upgrade(nullptr, inv, text.c_str());
                g_object_unref(inv);
            });
            return true;
        });
    }
    static constexpr int kFails = -1000;  // the status query answers with a D-Bus error
    std::vector<int> statuses;            // answers of successive status queries; the last one repeats
    std::atomic<size_t> polls{0};
    std::atomic<bool> stopPump{false};
    std::thread pump;
};

TEST_F(StartUpgrade, PollsTheStatusUntilSuccessFailureOrTheLimit) {
    struct Row {
        std::vector<int> statuses;
        int result;
        size_t queries;
    };
    const Row rows[] = {
        {{0}, 0, 1},
        {{1, 1, 1, 0}, 0, 4},  // three sleeps, then success
        {{2}, -1, 1},
        {{1, 1, -3}, -1, 3},
        {{kFails, kFails, 0}, 0, 3},  // a failed query is "in progress", never success
        {{kFails, 2}, -1, 2},
        {{1}, -1, 181},  // 181 sleeps, then the limit
        {{kFails}, -1, 181},
    };
    accept_with("accepted: pkg 1.2.3");
    for (const Row &row : rows) {
        statuses = row.statuses;
        polls = 0;
        {
            const std::lock_guard<std::mutex> lock(g_statesMutex);
            g_states.clear();
        }
        char message[TBOX_START_MESSAGE_SIZE] = "";
        EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/complete.tgz", 7, message), row.result);
        EXPECT_EQ(polls, row.queries) << ::testing::PrintToString(row.statuses);
        EXPECT_STREQ(message, "accepted: pkg 1.2.3");
        EXPECT_EQ(states(), (std::vector<int>{1, 0}));
        EXPECT_EQ(g_stateThread, std::this_thread::get_id());
    }
    EXPECT_EQ(service.calls_to("StartUpgrade").front(), "('/oemdata/upgrade/complete.tgz', 0x07)");
}

TEST_F(StartUpgrade, ARefusalHandsOverTheErrorTextAndPollsNothing) {
    service.handle("handle-start-upgrade", [](GDBusMethodInvocation *inv) {
        refuse(inv, "package damaged");
        return true;
    });
    LogCapture log;
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "GDBus.Error:ky.update.Error.Refused: package damaged");
    EXPECT_EQ(polls, 0u);
    EXPECT_EQ(states(), (std::vector<int>{1, 0}));
    EXPECT_TRUE(log.has("upgrade failue : server not return "));
}

TEST_F(StartUpgrade, LongRepliesAreCutToTheMessageBuffer) {
    accept_with(std::string(1000, 'r'));
    statuses = {0};
    std::vector<char> message(TBOX_START_MESSAGE_SIZE + 8, '#');
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message.data()), 0);
    EXPECT_EQ(std::string(message.data()), std::string(256, 'r'));
    EXPECT_EQ(std::string(message.data() + TBOX_START_MESSAGE_SIZE, 8), std::string(8, '#'));
}

TEST_F(StartUpgrade, RefusesBadArgumentsBeforeTheCallbackAndWithoutSending) {
    char message[TBOX_START_MESSAGE_SIZE] = "untouched";
    EXPECT_EQ(StartUpgradePkg(nullptr, 1, message), -1);
    EXPECT_STREQ(message, "untouched");
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, nullptr), -1);
    EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/\xff\xfe-pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:package path is not UTF-8");
    EXPECT_EQ(StartUpgradePkg("/oemdata/upgrade/\xc3(.tgz", 1, message), -1);
    EXPECT_TRUE(states().empty());
    EXPECT_EQ(service.count("StartUpgrade"), 0u);
}

TEST_F(StartUpgrade, ALateReplyNeitherTouchesTheEndedWaitNorWakesTheNextOne) {
    // The first request is answered after its (shortened) wait ended; the second one's wait is still on
    // when that late answer arrives, and must go on until its own answer.
    std::atomic<int> requests{0};
    service.handle("handle-start-upgrade", [&requests](GDBusMethodInvocation *inv) {
        const int n = ++requests;
        g_object_ref(inv);
        later(n == 1 ? 600 : 1200, [inv, n] {
            ky_update_complete_start_upgrade(nullptr, inv, n == 1 ? "first" : "second");
            g_object_unref(inv);
        });
        return true;
    });
    tbox::upgrade::Waits waits;
    waits.pollIntervalUs = 1000;
    waits.startReplyUs = 300 * 1000;
    tbox::upgrade::set_waits_for_tests(waits);
    statuses = {0};
    LogCapture log;
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:Upgrade fail");
    EXPECT_EQ(polls, 0u);

    waits.startReplyUs = 10 * 1000000;
    tbox::upgrade::set_waits_for_tests(waits);
    const gint64 start = g_get_monotonic_time();
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), 0);
    EXPECT_STREQ(message, "second");
    EXPECT_GE(g_get_monotonic_time() - start, 1000 * 1000);
    EXPECT_EQ(states(), (std::vector<int>{1, 0, 1, 0}));
    EXPECT_TRUE(log.has("upgrade start successed\n"));
}

TEST_F(StartUpgrade, WithoutAnyoneRunningTheContextTheWaitEndsAsNoReply) {
    stop_pump();
    accept_with("accepted");
    tbox::upgrade::Waits waits;
    waits.startReplyUs = 200 * 1000;
    tbox::upgrade::set_waits_for_tests(waits);
    char message[TBOX_START_MESSAGE_SIZE];
    EXPECT_EQ(StartUpgradePkg("/pkg.tgz", 1, message), -1);
    EXPECT_STREQ(message, "upgrade:Upgrade fail");
    EXPECT_EQ(service.count("StartUpgrade"), 1u);
    // The reply still arrives once the context runs, and is dropped without harm.
    tbox::test::pump_until([&] { return false; }, 300);
}

}  // namespace
