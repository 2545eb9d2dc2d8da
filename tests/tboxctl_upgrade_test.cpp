// tboxctl upgrade against the simulator's upgrade service, packages served over loopback HTTP, and the
// box's own /oemdata (an empty tmpfs in this test process's private mount namespace, which tboxctl,
// its child, shares). Every failing road must leave the version file, the previous package and the
// upgrade directory as they were, and the task unbound.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/files.h"
#include "support/http_peer.h"
#include "support/private_mount.h"
#include "support/pump.h"
#include "support/sim_runner.h"
#include "support/tboxctl_run.h"
#include "tbox/upgrade_gdbus.h"

using tbox::test::Background;
using tbox::test::bound_pid;
using tbox::test::CtlResult;
using tbox::test::get;
using tbox::test::put;
using tbox::test::run;
using tbox::test::tboxctl;

namespace {

using Words = std::vector<std::string>;

constexpr const char *kUpgradeDir = "/oemdata/upgrade";
constexpr const char *kVersionFile = "/oemdata/upgrade/version.txt";
constexpr const char *kOldPackage = "/oemdata/upgrade/old_upgrade.tgz";
constexpr const char *kOldVersion = "00101002003";
constexpr const char *kNewVersion = "00101003003";

std::string sha256_of(const std::string &path) {
    const std::string out = path + ".sha256";
    run("sha256sum '" + path + "' | cut -c1-64 | tr -d '\\n' > '" + out + "'");
    return get(out);
}

std::string last_line(const std::string &text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    return t.substr(t.rfind('\n') == std::string::npos ? 0 : t.rfind('\n') + 1);
}

class TboxctlUpgrade : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(TBOX_DATA_ROOT) != "/oemdata") GTEST_SKIP() << "data root moved to " << TBOX_DATA_ROOT;
        const std::string refused = tbox::test::private_tmpfs("/oemdata");  // before any thread starts
        if (!refused.empty()) GTEST_SKIP() << refused;
        ASSERT_TRUE(std::filesystem::create_directories("/oemdata/upgrade/upgradepkg"));
        put(kVersionFile, kOldVersion);
        // Two releases of a small package: a gzip'd tar with the application and its version.
        const std::string src = served.path + "/src";
        std::filesystem::create_directories(src);
        put(src + "/app.bin", tbox::test::noise(200000, 7));
        put(src + "/version.txt", kOldVersion);
        run("tar -czf " + (served / "old.tgz") + " -C " + src + " app.bin version.txt");
        put(src + "/app.bin", tbox::test::noise(200000, 7).replace(5000, 4, "v3.0"));
        put(src + "/version.txt", kNewVersion);
        run("tar -czf " + (served / "new.tgz") + " -C " + src + " app.bin version.txt");
        run("bsdiff " + (served / "old.tgz") + " " + (served / "new.tgz") + " " + (served / "patch"));
        put(served / "corrupt", get(served / "patch").substr(0, 200));  // cut short: its bzip2 blocks end early
        put(served / "not-a-package", "plain text, no tar inside");
        run(std::string("cp ") + (served / "old.tgz") + " " + kOldPackage);
        http = std::make_unique<tbox::test::HttpPeer>(served.path);
        tbox::sim::Options options;
        options.upgrade_ms = 100;
        sim = std::make_unique<tbox::test::SimRunner>(options);
        ASSERT_EQ(sim->failure(), "");
    }

    Words road(const std::string &file, const std::string &sha256, const std::string &version = kNewVersion) {
        return {"upgrade", "run", "--url", http->url("/files/" + file), "--version", version, "--sha256", sha256};
    }

    // The box as it was before a failed road: version, previous package, no leftovers, nobody bound.
    void expect_box_as_it_was(const std::string &what) {
        EXPECT_EQ(get(kVersionFile), kOldVersion) << what;
        EXPECT_EQ(get(kOldPackage), get(served / "old.tgz")) << what;
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(kUpgradeDir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"old_upgrade.tgz", "upgradepkg", "version.txt"})) << what;
        EXPECT_EQ(bound_pid(), 0) << what << ": the task was left bound";
    }

    tbox::test::TempDir served;
    std::unique_ptr<tbox::test::HttpPeer> http;
    std::unique_ptr<tbox::test::SimRunner> sim;
};

TEST_F(TboxctlUpgrade, RunTakesTheBoxToTheNewVersionByDifference) {
    const CtlResult r = tboxctl(road("patch", sha256_of(served / "patch")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "bind: ok\n"
              "check: upgrade:Check Version OK\n"
              "download: upgrade:download OK!\n"
              "verify: upgrade:SHA256 OK\n"
              "restore: upgrade:bsdiff patch success\n"
              "start: upgrade:package accepted\n"
              "version: 00101003003\n"
              "unbind: ok\n");
    EXPECT_NE(r.err.find("download: 100%\n"), std::string::npos) << "percentage lines when not on a terminal\n"
                                                                 << r.err;
    EXPECT_EQ(get(kVersionFile), kNewVersion);
    EXPECT_EQ(get(std::string(kUpgradeDir) + "/tboxctl-package.tgz"), get(served / "new.tgz"))
        << "the package handed over is the new release, rebuilt";
    const auto installs = sim->received("ky.update StartUpgrade");
    ASSERT_EQ(installs.size(), 1u);
    EXPECT_NE(installs[0].find("/oemdata/upgrade/tboxctl-package.tgz"), std::string::npos) << installs[0];
    EXPECT_EQ(bound_pid(), 0) << "unbound at the end";
}

TEST_F(TboxctlUpgrade, RunAsJsonGivesOneObjectPerStep) {
    const CtlResult r = tboxctl({"--json", "upgrade", "run", "--url", http->url("/files/new.tgz"), "--version",
                                 kNewVersion, "--sha256", sha256_of(served / "new.tgz"), "--type", "whole"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tbox::test::line_count(r.out), 8u) << r.out;
    EXPECT_NE(r.out.find("{\"step\": \"restore\", \"status\": \"upgrade:whole pkg rename success\"}\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(get(kVersionFile), kNewVersion);
}

TEST_F(TboxctlUpgrade, AFailingStepStopsTheRoadAndLeavesTheBoxAsItWas) {
    struct Case {
        const char *what;
        Words args;
        std::string outcome;  // setup for the simulator's upgrade service, or ""
        std::string last;     // tboxctl's line on stderr
    };
    const std::string patch_sha = sha256_of(served / "patch");
    Words whole_garbage = road("not-a-package", sha256_of(served / "not-a-package"));
    whole_garbage.insert(whole_garbage.end(), {"--type", "whole"});
    const std::vector<Case> table = {
        {"corrupt patch", road("corrupt", sha256_of(served / "corrupt")), "",
         "tboxctl upgrade run: restore: upgrade:bsdiff patch pkg error"},
        {"wrong digest", road("patch", std::string(64, 'A')), "", "tboxctl upgrade run: verify: upgrade:SHA256 error"},
        {"refused start", whole_garbage, "",
         "tboxctl upgrade run: start: upgrade failed: GDBus.Error:ky.update.Error.BadPackage: "
         "/oemdata/upgrade/tboxctl-package.tgz: "
         "not a gzip file"},
        {"failed install", road("patch", patch_sha), "update.outcome 3",
         "tboxctl upgrade run: start: upgrade failed: upgrade:package accepted"},
        {"HTTP 404", road("missing", patch_sha), "",
         "tboxctl upgrade run: download: upgrade:perform error:22-HTTP response code said error"},
        {"same version", road("patch", patch_sha, kOldVersion), "", "tboxctl upgrade run: check: upgrade:Same Version"},
        {"nobody listening",
         {"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", kNewVersion, "--md5", std::string(32, 'a')},
         "",
         "tboxctl upgrade run: download: upgrade:perform error:7-Couldn't connect to server"},
    };
    for (const auto &c : table) {
        if (!c.outcome.empty()) {
            ASSERT_EQ(sim->inject(c.outcome), "");
        }
        const CtlResult r = tboxctl(c.args);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(last_line(r.err), c.last) << c.what;
        expect_box_as_it_was(c.what);
        if (!c.outcome.empty()) {
            ASSERT_EQ(sim->inject("update.outcome 0"), "");
        }
    }
}

TEST_F(TboxctlUpgrade, CtrlCStopsTheRoadAfterTheStepUnderWayAndLeavesTheBoxAsItWas) {
    Background road({"upgrade", "run", "--url", http->url("/drip/300"),  // 300 KiB over about 6 s
                     "--version", kNewVersion, "--md5", std::string(32, '0')},
                    Background::kErr);
    road.read_until("download: ");
    kill(road.pid, SIGINT);  // while the download runs
    EXPECT_EQ(road.wait(), 1) << road.text;
    EXPECT_NE(road.text.find("download: 100%"), std::string::npos) << "the download ran to its end\n" << road.text;
    EXPECT_EQ(last_line(road.text), "tboxctl upgrade run: download: interrupted");
    expect_box_as_it_was("interrupted");
    EXPECT_EQ(sim->received("ky.update StartUpgrade").size(), 0u);
}

TEST_F(TboxctlUpgrade, CtrlCAtTheEndOfRestoreHandsNothingOver) {
    // The signal is sent (by tboxctl itself, through its test hook) when restore has just finished: the
    // moment where a signal not yet taken by the signal thread used to let the package through.
    const CtlResult r = tboxctl(road("patch", sha256_of(served / "patch")), {"TBOXCTL_TEST_INTERRUPT_AFTER=restore"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("restore: upgrade:bsdiff patch success\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("start: "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("tboxctl upgrade run: interrupted; stopping after this step"), std::string::npos) << r.err;
    EXPECT_EQ(last_line(r.err), "tboxctl upgrade run: restore: interrupted");
    EXPECT_EQ(sim->received("ky.update StartUpgrade").size(), 0u) << "no hand-over";
    expect_box_as_it_was("interrupted after restore");
}

TEST_F(TboxctlUpgrade, CtrlCAfterTheHandOverLetsTheRoadRunToItsEnd) {
    sim.reset();
    tbox::sim::Options options;
    options.upgrade_ms = 3000;  // the service installs for a while: time for two Ctrl-C
    sim = std::make_unique<tbox::test::SimRunner>(options);
    ASSERT_EQ(sim->failure(), "");
    Background run(road("patch", sha256_of(served / "patch")), Background::kErr);
    ASSERT_TRUE(tbox::test::pump_until([&] { return !sim->received("ky.update StartUpgrade").empty(); }, 30000));
    const std::string finishing = "tboxctl upgrade run: the package is handed over; finishing the upgrade\n";
    kill(run.pid, SIGINT);
    EXPECT_TRUE(run.read_until(finishing)) << run.text;
    kill(run.pid, SIGINT);  // a second one changes nothing either
    EXPECT_TRUE(run.read_until(finishing, 2)) << run.text;
    EXPECT_EQ(run.wait(), 0) << run.text;
    EXPECT_EQ(get(kVersionFile), kNewVersion);
    EXPECT_EQ(bound_pid(), 0) << "unbound at the end";
}

TEST_F(TboxctlUpgrade, AKilledRoadHoldsNoBindingAndTheNextRunSucceeds) {
    Background run(
        {"upgrade", "run", "--url", http->url("/drip/300"), "--version", kNewVersion, "--sha256", std::string(64, 'A')},
        Background::kErr);
    ASSERT_TRUE(run.read_until("download: ")) << run.text;
    EXPECT_GT(bound_pid(), 0);
    kill(run.pid, SIGKILL);
    run.wait();
    EXPECT_TRUE(tbox::test::pump_until([] { return bound_pid() == 0; })) << "released when the process went";
    const CtlResult r = tboxctl(road("patch", sha256_of(served / "patch")));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(get(kVersionFile), kNewVersion);
}

// A service that keeps the binding of an ended process (as the box's own may): tboxctl releases it, but
// only when that process is gone.
TEST_F(TboxctlUpgrade, AStaleBindingIsReclaimedOnlyWhenItsProcessIsGone) {
    sim.reset();
    std::atomic<int> bound{0};
    tbox::test::FakeService update("ky.update", "/ky/update", [] { return gpointer(ky_update_skeleton_new()); });
    update.handle("handle-bind-upgrade", [&](GDBusMethodInvocation *inv) {
        gint pid = 0;
        g_variant_get(g_dbus_method_invocation_get_parameters(inv), "(i)", &pid);
        if (bound != 0 && bound != pid) {
            g_dbus_method_invocation_return_dbus_error(inv, "ky.update.Error.Busy", "bound");
        } else {
            bound = pid;
            g_dbus_method_invocation_return_value(inv, nullptr);
        }
        return true;
    });
    update.handle("handle-get-bind-id", [&](GDBusMethodInvocation *inv) {
        g_dbus_method_invocation_return_value(inv, g_variant_new("(i)", bound.load()));
        return true;
    });
    update.handle("handle-unbind-upgrade", [&](GDBusMethodInvocation *inv) {
        bound = 0;
        g_dbus_method_invocation_return_value(inv, nullptr);
        return true;
    });
    const int gone = tbox::test::ended_pid();
    const std::string reclaimed = "reclaimed stale binding of pid " + std::to_string(gone) + "\n";
    struct Row {
        int bound_before;
        Words args;
        int status;
        std::string out, err;  // the whole stdout; the start of stderr
        std::vector<std::string> calls;
    };
    const std::vector<Row> table = {
        {gone,
         {"upgrade", "unbind", "--stale"},
         0,
         "unbind: reclaimed\npid: " + std::to_string(gone) + "\n",
         "tboxctl upgrade unbind: " + reclaimed,
         {"GetBindId", "UnbindUpgrade"}},
        {0, {"upgrade", "unbind", "--stale"}, 1, "", "tboxctl upgrade unbind: no binding to reclaim\n", {"GetBindId"}},
        {getpid(),
         {"--json", "upgrade", "unbind", "--stale"},
         1,
         "",
         "tboxctl upgrade unbind: not reclaimed: the binding's process " + std::to_string(getpid()) +
             " is still running\n",
         {"GetBindId"}},
        {getpid(),
         {"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", kNewVersion, "--md5", std::string(32, 'a')},
         1,
         "",
         "tboxctl upgrade run: bind: the upgrade service refused",
         {"BindUpgrade", "GetBindId"}},
        {gone,
         {"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", kNewVersion, "--md5", std::string(32, 'a')},
         1,
         "bind: ok\ncheck: upgrade:Check Version OK\n",
         "tboxctl upgrade run: bind: " + reclaimed,
         {"BindUpgrade", "GetBindId", "UnbindUpgrade", "BindUpgrade"}},
    };
    for (const auto &row : table) {
        bound = row.bound_before;
        const size_t before = update.members().size();
        const CtlResult r = tboxctl(row.args);
        EXPECT_EQ(r.status, row.status) << row.args.back() << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << row.args.back();
        EXPECT_EQ(r.err.rfind(row.err, 0), 0u) << r.err;
        auto calls = update.members();
        calls.erase(calls.begin(), calls.begin() + static_cast<long>(before));
        calls.resize(std::min(calls.size(), row.calls.size()));
        EXPECT_EQ(calls, row.calls) << row.args.back();
    }
}

TEST_F(TboxctlUpgrade, SingleSteps) {
    const std::string fetched = std::string(kUpgradeDir) + "/fetched.patch";
    const std::string complete = std::string(kUpgradeDir) + "/complete.tgz";
    const struct {
        Words args;
        int status;
        std::string out;
    } table[] = {
        {{"upgrade", "version", "get"}, 0, "version: 00101002003\nproject: 1\nmajor: 1\nsub1: 2\nsub2: 3\n"},
        {{"upgrade", "check", kNewVersion}, 0, "status: upgrade:Check Version OK\nflags: 1\n"},
        {{"upgrade", "check", "00201003003", "--json"}, 1, "{\"status\": \"upgrade:Project ID Error\"}\n"},
        {{"upgrade", "download", http->url("/files/patch"), fetched}, 0, "status: upgrade:download OK!\n"},
        {{"upgrade", "verify", fetched, "--sha256", sha256_of(served / "patch")}, 0, "status: upgrade:SHA256 OK\n"},
        {{"upgrade", "restore", "diff", fetched, complete}, 0, "status: upgrade:bsdiff patch success\n"},
        {{"upgrade", "start", complete}, 0, "message: upgrade:package accepted\noutcome: installed\n"},
        {{"upgrade", "version", "set", kNewVersion, "--json"},
         0,
         "{\"version\": \"00101003003\", \"project\": 1, \"major\": 1, \"sub1\": 3, \"sub2\": 3}\n"},
        {{"upgrade", "check", kNewVersion}, 1, "status: upgrade:Same Version\n"},
        {{"upgrade", "unbind"}, 1, ""},  // nobody is bound
        {{"upgrade", "unbind", "--stale"}, 1, ""},
    };
    const CtlResult bind = tboxctl({"upgrade", "bind"});
    EXPECT_EQ(bind.status, 0) << bind.err;
    EXPECT_EQ(bind.out.rfind("bind: ok\npid: ", 0), 0u) << bind.out;
    EXPECT_TRUE(tbox::test::pump_until([] { return bound_pid() == 0; }))
        << "the service released the binding when tboxctl ended";
    for (const auto &row : table) {
        const CtlResult r = tboxctl(row.args);
        EXPECT_EQ(r.status, row.status) << row.args[1] << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << row.args[1];
    }
    EXPECT_EQ(get(complete), get(served / "new.tgz"));
    EXPECT_EQ(get(kVersionFile), kNewVersion);
}

}  // namespace
