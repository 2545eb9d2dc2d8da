// tboxctl upgrade against the simulator's upgrade service, packages served over loopback HTTP, and the
// box's own /oemdata (an empty tmpfs in this test process's private mount namespace, which tboxctl,
// its child, shares). Every failing road must leave the version file, the previous package and the
// upgrade directory as they were, and the task unbound.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
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
         {"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", kNewVersion, "--md5", std::string(32, 'a'),
          "--attempts", "1"},
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
         {"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", kNewVersion, "--md5", std::string(32, 'a'),
          "--attempts", "1"},
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
        {{"upgrade", "check", "00201003003", "--json"},
         1,
         "{\"status\": \"upgrade:Project ID Error\", \"flags\": null}\n"},
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

// --- resumed downloads and signed packages --------------------------------------------------------

// Reads `road` until a "download: N%" line with N >= `percent`; whether one came.
bool read_until_percent(Background &road, int percent) {
    for (size_t lines = 1; road.read_until("\n", lines); ++lines) {
        const size_t end = road.text.size() - 1;
        const size_t start = end == 0 ? 0 : road.text.rfind('\n', end - 1) + 1;
        int n = -1;
        if (std::sscanf(road.text.c_str() + start, "download: %d%%", &n) == 1 && n >= percent) return true;
    }
    return false;
}

// A whole package of 3 MiB, sent at about 1.6 MB/s, is cut past its 2 MiB checkpoint (by Ctrl-C, or by a
// kill nothing can catch). The served object then changes its first bytes under the same ETag: only a
// run that asks for the rest alone still gets the package its digest names.
TEST_F(TboxctlUpgrade, AnInterruptedDownloadIsKeptAndTheNextRunResumesIt) {
    const std::string src = served / "big";
    std::filesystem::create_directories(src);
    put(src + "/app.bin", tbox::test::noise(3 << 20, 11));
    put(src + "/version.txt", kNewVersion);
    run("tar -czf " + (served / "big.tgz") + " -C " + src + " app.bin version.txt");
    const std::string original = get(served / "big.tgz");
    const Words args = {"upgrade",   "run",       "--url",    http->url("/slow/big.tgz"),
                        "--version", kNewVersion, "--sha256", sha256_of(served / "big.tgz"),
                        "--type",    "whole"};
    const std::string part = std::string(kUpgradeDir) + "/tboxctl-download.bin.part";
    for (const int signal : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        put(kVersionFile, kOldVersion);
        put(served / "big.tgz", original);
        const size_t installs = sim->received("ky.update StartUpgrade").size();
        const size_t unbinds = sim->received("ky.update UnbindUpgrade").size();
        Words capped = args;
        capped.insert(capped.end(), {"--max-rate", "2000000", "--attempts", "2", "--deadline", "60"});
        Background road(capped, Background::kErr);
        ASSERT_TRUE(read_until_percent(road, 75)) << road.text;
        kill(road.pid, signal);
        const int status = road.wait();
        const std::string &text = road.text;
        if (signal == SIGINT) {
            EXPECT_EQ(status, 1) << text;
            EXPECT_EQ(last_line(text),
                      "tboxctl upgrade run: download: interrupted; the partial download is kept for the next run");
            EXPECT_EQ(sim->received("ky.update UnbindUpgrade").size(), unbinds + 1) << "unbound on the way out";
        }
        EXPECT_TRUE(tbox::test::pump_until([] { return bound_pid() == 0; }));
        EXPECT_TRUE(std::filesystem::exists(part)) << "the partial file is kept";
        EXPECT_TRUE(std::filesystem::exists(part + ".meta"));
        EXPECT_EQ(get(kVersionFile), kOldVersion);
        EXPECT_EQ(sim->received("ky.update StartUpgrade").size(), installs) << "nothing handed over";

        put(served / "big.tgz", std::string(1000, 'x') + original.substr(1000));
        const CtlResult r = tboxctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("verify: upgrade:SHA256 OK\n"), std::string::npos) << r.out;
        EXPECT_EQ(get(kVersionFile), kNewVersion);
        EXPECT_TRUE(get(std::string(kUpgradeDir) + "/tboxctl-package.tgz") == original);
        EXPECT_FALSE(std::filesystem::exists(part));
    }
}

// With a release key, the package goes on only with its signature by that key, given as a file or fetched
// from a URL; anything else is refused in one line before restore, and the box stays as it was.
TEST_F(TboxctlUpgrade, WithAPublicKeyOnlyAPackageSignedByItIsInstalled) {
    const tbox::test::TempDir keys;
    for (const char *name : {"release", "other"}) {
        const std::string key = keys / name;
        run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + key + ".pem 2>/dev/null");
        run("openssl pkey -in " + key + ".pem -pubout -out " + key + ".pub");
        run("openssl dgst -sha256 -sign " + key + ".pem -out " + key + ".sig " + (served / "patch"));
    }
    run("cp " + (keys / "release.sig") + " " + (served / "patch.sig"));
    run("cp " + (keys / "other.sig") + " " + (served / "patch.other.sig"));
    const std::string release = keys / "release.pub";
    const Words signed_by_url = {"--signature", http->url("/files/patch.sig"), "--public-key", release};
    const struct {
        Words extra;
        std::string last;  // the refusal on stderr; "" for an installed package
    } table[] = {
        {{"--signature", http->url("/files/patch.unsigned"), "--public-key", release},
         "tboxctl upgrade run: signature: refused, no signature: "
         "upgrade:perform error:22-HTTP response code said error"},
        {{"--signature", http->url("/files/patch.other.sig"), "--public-key", release},
         "tboxctl upgrade run: signature: refused: upgrade:signature error"},
        {{"--signature", keys / "other.sig", "--public-key", keys / "release.pem"},
         "tboxctl upgrade run: signature: refused: upgrade:signature key refused"},
        {signed_by_url, ""},
        {{"--signature", keys / "release.sig", "--public-key", release}, ""},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.extra[1]);
        put(kVersionFile, kOldVersion);
        run(std::string("cp ") + (served / "old.tgz") + " " + kOldPackage);
        const size_t installs = sim->received("ky.update StartUpgrade").size();
        Words args = road("patch", sha256_of(served / "patch"));
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        const CtlResult r = tboxctl(args);
        if (!row.last.empty()) {
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_EQ(last_line(r.err), row.last);
            EXPECT_EQ(r.out.find("restore: "), std::string::npos) << r.out;
            EXPECT_EQ(sim->received("ky.update StartUpgrade").size(), installs) << "nothing handed over";
            expect_box_as_it_was(row.last);
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("verify: upgrade:SHA256 OK\n"
                             "signature: upgrade:signature OK\n"
                             "restore: upgrade:bsdiff patch success\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(get(kVersionFile), kNewVersion);
        EXPECT_FALSE(std::filesystem::exists(std::string(kUpgradeDir) + "/tboxctl-download.bin.sig"))
            << "a fetched signature goes with the fetched package";
    }
    EXPECT_EQ(get(keys / "release.sig"), get(served / "patch.sig")) << "a given signature file stays";
}

// Bad transfer and signature options are bad usage: exit 2, one line, nothing sent to the box.
TEST_F(TboxctlUpgrade, BadDownloadOptionsAreRefusedBeforeAnythingIsSent) {
    const std::string key = served / "patch";  // any existing file passes as the key's path
    const Words road_words = road("patch", std::string(64, 'a'));
    const struct {
        Words extra;
        std::string err;
    } table[] = {
        {{"--attempts", "0"}, "--attempts"},
        {{"--attempts", "101"}, "--attempts"},
        {{"--deadline", "-1"}, "--deadline"},
        {{"--max-rate", "fast"}, "--max-rate"},
        {{"--max-rate", "0"}, "--max-rate"},
        {{"--public-key", key}, "give --signature and --public-key together"},
        {{"--signature", key}, "give --signature and --public-key together"},
        {{"--signature", "/nonexistent.sig", "--public-key", key}, "--signature: no file /nonexistent.sig"},
        {{"--signature", key, "--public-key", "/nonexistent.pem"}, "--public-key"},
    };
    for (const auto &row : table) {
        Words args = road_words;
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        const CtlResult r = tboxctl(args);
        EXPECT_EQ(r.status, 2) << row.extra[0] << ": " << r.err;
        EXPECT_EQ(tbox::test::line_count(r.err), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("tboxctl upgrade run: " + row.err, 0), 0u) << r.err;
    }
    const std::string fetched = std::string(kUpgradeDir) + "/fetched.bin";
    const CtlResult d = tboxctl({"upgrade", "download", http->url("/files/patch"), fetched, "--deadline", "0"});
    EXPECT_EQ(d.status, 2) << d.err;
    EXPECT_EQ(sim->received("ky.update").size(), 0u) << "nothing reached the box";
    expect_box_as_it_was("bad usage");
}

// "upgrade download" resumes too. The peer cuts the first answer at 100000 bytes; the served object then
// changes its first bytes under the same ETag, so only a download that asked for the rest ends with the
// original first bytes.
TEST_F(TboxctlUpgrade, DownloadResumesWhatAnEarlierOneLeft) {
    const std::string original = tbox::test::noise(300000, 5);
    put(served / "obj", original);
    put(served / "obj.cut", "100000");
    const std::string fetched = std::string(kUpgradeDir) + "/fetched.bin";
    const Words args = {"upgrade", "download", http->url("/flaky/obj"), fetched, "--attempts", "1"};
    const CtlResult cut = tboxctl(args);
    EXPECT_EQ(cut.status, 1) << cut.out << cut.err;
    EXPECT_EQ(get(fetched + ".part"), original.substr(0, 100000));
    std::filesystem::remove(served / "obj.cut");
    put(served / "obj", std::string(1000, 'x') + original.substr(1000));
    const CtlResult rest = tboxctl(args);
    EXPECT_EQ(rest.status, 0) << rest.err;
    EXPECT_EQ(rest.out, "status: upgrade:download OK!\n");
    EXPECT_TRUE(get(fetched) == original) << "the first 100000 bytes were not fetched again";
    EXPECT_FALSE(std::filesystem::exists(fetched + ".part"));
}

}  // namespace
