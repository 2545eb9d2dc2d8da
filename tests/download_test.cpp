// Download, digest check and restore: real HTTP and HTTPS servers on 127.0.0.1, certificates made by
// openssl, digests by coreutils, patches by bsdiff, and the box's own /oemdata in a private mount namespace.
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/http_peer.h"
#include "support/log_capture.h"
#include "support/upgrade_box.h"
#include "tbox/upgrade.h"
#include "upgrade/upgrade_internal.h"

namespace {
using namespace tbox::test;
namespace fs = std::filesystem;

constexpr char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";
constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string perform_error(CURLcode code) {
    return "upgrade:perform error:" + std::to_string(code) + "-" + curl_easy_strerror(code) + "\n";
}

// A status buffer of exactly `size` bytes followed by a guard that the library must never touch.
struct Status {
    explicit Status(size_t n) : size(n), bytes(n + 8, '#') { std::snprintf(bytes.data(), n, "untouched"); }
    char *get() { return bytes.data(); }
    std::string text() const {
        return std::string(bytes.data() + size, 8) == "########" ? bytes.data() : "guard overwritten";
    }
    size_t size;
    std::vector<char> bytes;
};

// One step's outcome: result, status text and (for downloads) the stored bytes.
struct Got {
    int result;
    std::string status;
    Bytes body;
    bool operator==(const Got &o) const { return result == o.result && status == o.status && body == o.body; }
};
std::ostream &operator<<(std::ostream &os, const Got &g) {
    return os << g.result << " \"" << g.status << "\" " << g.body.size() << " bytes";
}

TEST(UpgradeSteps, RefuseBeforeTheUpgradeClientIsInitialisedAndLeaveTheStatus) {
    TempDir dir;
    put(dir / "pkg", "package");
    Status status(TBOX_DOWNLOAD_STATUS_SIZE);
    EXPECT_EQ(DownloadUpgradeFile("http://127.0.0.1:1/x", (dir / "out").c_str(), status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg((dir / "pkg").c_str(), (dir / "new").c_str(), TBOX_RESTORE_WHOLE, status.get()), -1);
    EXPECT_EQ(status.text(), "untouched");
    EXPECT_EQ(dir.entries(), 1);  // nothing created, nothing moved
}

// The box, with a web root holding "pkg" (3 MiB of noise).
class Steps : public UpgradeBox {
protected:
    void SetUp() override {
        UpgradeBox::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        put(www / "pkg", package);
    }
    Got fetch(const std::string &url) {
        put(out, "stale bytes of an earlier attempt");
        Status status(TBOX_DOWNLOAD_STATUS_SIZE);
        const int result = DownloadUpgradeFile(url.c_str(), out.c_str(), status.get());
        return {result, status.text(), get(out)};
    }
    Got restore(const std::string &from, const std::string &to, uint8_t type) {
        Status status(TBOX_CHECK_STATUS_SIZE);
        const int result = RestoreUpgradePkg(from.c_str(), to.c_str(), type, status.get());
        return {result, status.text(), fs::exists(to) ? get(to) : "(none)"};
    }
    TempDir www, work;
    std::string out = work / "download.tgz";
    Bytes package = noise(3 << 20, 11);
};

TEST_F(Steps, DownloadStoresTwoHundredBodiesByteExactAndFailsEverythingElseWithoutStoringIt) {
    HttpPeer http(www.path);
    const std::string httpError = perform_error(CURLE_HTTP_RETURNED_ERROR);
    const std::string otherScheme = perform_error(CURLE_UNSUPPORTED_PROTOCOL);
    const std::pair<std::string, Got> rows[] = {
        {http.url("/files/pkg"), {0, "upgrade:download OK!", package}},
        {http.url("/status/404"), {-1, httpError, ""}},
        {http.url("/redirect"), {-1, httpError, ""}},  // not followed, and its body is not the package
        {"file://" + www / "pkg", {-1, otherScheme, ""}},
    };
    for (const auto &[url, expected] : rows) {
        take_sync_calls();
        EXPECT_EQ(fetch(url), expected) << url;
        // "download OK!" only once the body and the file's directory entry are on disk.
        const std::vector<std::string> synced{"fsync file", "fsync dir " + work.path};
        EXPECT_EQ(take_sync_calls(), expected.result == 0 ? synced : std::vector<std::string>{}) << url;
    }
    Status status(TBOX_DOWNLOAD_STATUS_SIZE);
    EXPECT_EQ(DownloadUpgradeFile(nullptr, out.c_str(), status.get()), -1);
    EXPECT_EQ(DownloadUpgradeFile(http.url("/files/pkg").c_str(), (work / "no/dir/x").c_str(), status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade: open file fail!");
}

TEST_F(Steps, DownloadEndsStalledTransfersButCompletesSlowSteadyOnes) {
    tbox::upgrade::Waits waits;
    waits.stallSeconds = 2;
    tbox::upgrade::set_waits_for_tests(waits);
    HttpPeer http(www.path);
    EXPECT_EQ(fetch(http.url("/stall")), (Got{-1, perform_error(CURLE_OPERATION_TIMEDOUT), "0"}));  // what came stays
    EXPECT_EQ(fetch(http.url("/trickle/7")), (Got{0, "upgrade:download OK!", "ttttttt"}));  // 2.5 bytes/s for 2.8 s
}

TEST_F(Steps, HttpsIsVerifiedAgainstTheSystemStoreUntilACaBundleIsGivenThenOnlyThatBundle) {
    TempDir keys;
    const std::string newKey = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    for (const std::string ca : {"ca", "other_ca"}) {
        run(newKey + "-subj /CN=" + ca + " -x509 -days 2 -keyout " + keys / ca + ".key -out " + keys / ca +
            ".pem -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null");
    }
    for (const auto &[name, altName] : {std::pair{"server", "IP:127.0.0.1"}, {"wrong_host", "DNS:other.example"}}) {
        put(keys / name + ".ext", std::string("subjectAltName=") + altName + "\n");
        run(newKey + "-subj /CN=" + name + " -keyout " + keys / name + ".key -out " + keys / name + ".csr 2>/dev/null");
        run("openssl x509 -req -in " + keys / name + ".csr -CA " + keys / "ca.pem -CAkey " + keys / "ca.key" +
            " -set_serial " + std::to_string(name[0]) + " -days 2 -extfile " + keys / name + ".ext -out " +
            keys / name + ".pem 2>/dev/null");
    }
    HttpPeer https(www.path, keys / "server.pem", keys / "server.key");
    HttpPeer wrongHost(www.path, keys / "wrong_host.pem", keys / "wrong_host.key");
    const std::string url = https.url("/files/pkg");
    const Got fetched{0, "upgrade:download OK!", package};
    const Got unverified{-1, perform_error(CURLE_PEER_FAILED_VERIFICATION), ""};

    EXPECT_EQ(fetch(url), unverified);               // the host's store does not know the test CA
    ASSERT_EQ(private_tmpfs("/etc/ssl/certs"), "");  // a system store of this process's own
    put("/etc/ssl/certs/ca-certificates.crt", get(keys / "ca.pem"));
    EXPECT_EQ(fetch(url), fetched);
    EXPECT_EQ(fetch(wrongHost.url("/files/pkg")), unverified);  // the right CA, but not this host's certificate

    EXPECT_EQ(SetDownloadCaFile((keys / "other_ca.pem").c_str()), 0);
    EXPECT_EQ(fetch(url), unverified);  // given a bundle, the system store no longer counts
    EXPECT_EQ(SetDownloadCaFile((keys / "missing.pem").c_str()), -1);
    EXPECT_EQ(fetch(url), unverified);  // the earlier setting stays
    put("/etc/ssl/certs/ca-certificates.crt", "");
    EXPECT_EQ(SetDownloadCaFile((keys / "ca.pem").c_str()), 0);
    EXPECT_EQ(fetch(url), fetched);
}

TEST_F(Steps, DigestChecksNeedAWholeDigestOfAReadableFile) {
    const std::string pkg = www / "pkg", missing = www / "missing";
    run("md5sum < " + pkg + " | cut -c1-32 | tr -d '\\n' > " + work / "md5; sha256sum < " + pkg +
        " | cut -c1-64 | tr -d '\\n' > " + work / "sha");
    const std::string md5 = get(work / "md5"), sha = get(work / "sha");
    std::string upper = md5, wrong = md5;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    wrong[31] = wrong[31] == '0' ? '1' : '0';
    const Got md5Ok{0, "upgrade:MD5 OK", ""}, md5Error{-1, "upgrade:MD5 error", ""};
    const Got shaOk{0, "upgrade:SHA256 OK", ""}, shaError{-1, "upgrade:SHA256 error", ""};
    struct Row {
        decltype(&CheckUpgradePkgMd5) check;
        std::string path, expected;
        Got got;
    };
    const Row rows[] = {
        {CheckUpgradePkgMd5, pkg, md5, md5Ok},
        {CheckUpgradePkgMd5, pkg, upper, md5Ok},
        {CheckUpgradePkgSha256, pkg, sha, shaOk},
        {CheckUpgradePkgMd5, pkg, wrong, md5Error},
        {CheckUpgradePkgMd5, pkg, md5 + "0", md5Error},
        {CheckUpgradePkgMd5, pkg, "g" + md5.substr(1), md5Error},
        {CheckUpgradePkgMd5, missing, "", md5Error},  // an empty digest never matches a missing file
        // What is not a regular file has no digest, not even that of the nothing its size promises.
        {CheckUpgradePkgMd5, "/dev/zero", kEmptyMd5, md5Error},
        {CheckUpgradePkgMd5, www.path, kEmptyMd5, md5Error},
        {CheckUpgradePkgSha256, "/dev/null", kEmptySha256, shaError},
    };
    for (const Row &row : rows) {
        Status status(TBOX_CHECK_STATUS_SIZE);
        const int result = row.check(row.path.c_str(), row.expected.c_str(), status.get());
        EXPECT_EQ((Got{result, status.text(), ""}), row.got) << row.path << " " << row.expected;
    }
    Status status(TBOX_CHECK_STATUS_SIZE);
    EXPECT_EQ(CheckUpgradePkgMd5(pkg.c_str(), nullptr, status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:MD5 fail, param error!");
}

TEST_F(Steps, DifferenceRestorePatchesTheBoxsOldPackageAndSurvivesACorruptPatch) {
    const std::string patch = work / "pkg.patch", made = work / "complete.tgz";
    Bytes next = package;
    next.replace(1 << 20, 4096, noise(9000, 3));
    put(work / "new", next);
    run("bsdiff " + www / "pkg" + " " + work / "new" + " " + patch);
    EXPECT_EQ(restore(patch, made, TBOX_RESTORE_DIFF), (Got{-1, "upgrade:Not Found Old Package", "(none)"}));
    put(kOldPackage, package);
    take_sync_calls();
    EXPECT_EQ(restore(patch, made, TBOX_RESTORE_DIFF), (Got{0, "upgrade:bsdiff patch success", next}));
    // The package the upgrade service gets next is on disk, and so is its name.
    EXPECT_EQ(take_sync_calls(),
              (std::vector<std::string>{"create 600", "fsync new file", "rename " + made, "fsync dir " + work.path}));
    EXPECT_TRUE(get(kOldPackage) == package);

    std::remove(made.c_str());
    put(patch, get(patch).substr(0, 200));
    EXPECT_EQ(restore(patch, made, TBOX_RESTORE_DIFF), (Got{-1, "upgrade:bsdiff patch pkg error", "(none)"}));
}

TEST_F(Steps, WholeRestoreMovesAnyPathWithoutAShellAndReportsAFailedMove) {
    // /tmp and the box's /oemdata tmpfs are different file systems: that move is a copy.
    const std::string odd = "pkg with blanks; touch pwned $(touch pwned) `touch pwned` 'q\" &.tgz";
    const Got moved{0, "upgrade:whole pkg rename success", package};
    const std::string box = "/oemdata/upgrade";
    // Each move: the file on disk before it takes the final name, then the directories that changed.
    using Calls = std::vector<std::string>;
    const struct {
        std::string from, to;
        Calls synced;
    } moves[] = {
        {work / odd,
         box + "/" + odd,
         {"create 600", "fsync new file", "rename " + box + "/" + odd, "fsync dir " + box, "fsync dir " + work.path}},
        {box + "/" + odd, box + "/complete.tgz", {"fsync file", "rename " + box + "/complete.tgz", "fsync dir " + box}},
        {box + "/complete.tgz",
         box + "/upgradepkg/complete.tgz",
         {"fsync file", "rename " + box + "/upgradepkg/complete.tgz", "fsync dir " + box + "/upgradepkg",
          "fsync dir " + box}},
        {work / odd,
         work / "complete.tgz",
         {"fsync file", "rename " + work / "complete.tgz", "fsync dir " + work.path}},
    };
    for (const auto &[from, to, synced] : moves) {
        if (!fs::exists(from)) put(from, package);
        put(to, "an older complete package");
        take_sync_calls();
        EXPECT_EQ(restore(from, to, TBOX_RESTORE_WHOLE), moved) << to;
        EXPECT_EQ(take_sync_calls(), synced) << to;
        EXPECT_FALSE(fs::exists(from)) << from;
    }
    fs::remove(box + "/upgradepkg/complete.tgz");
    EXPECT_FALSE(fs::exists("pwned") || fs::exists(work / "pwned"));
    EXPECT_EQ(std::distance(fs::directory_iterator(box), {}), 1);  // upgradepkg only: no temporary file left

    const Got failed{-1, "upgrade:whole pkg rename fail", "(none)"};
    EXPECT_EQ(restore(work / "complete.tgz", "/oemdata/no/dir/x", TBOX_RESTORE_WHOLE), failed);
    EXPECT_TRUE(get(work / "complete.tgz") == package);  // a failed move keeps the fetched file
    EXPECT_EQ(restore(work / "complete.tgz", work / "y", 3), (Got{0, "untouched", "(none)"}));  // unknown type

    // Only a regular file is a package: a device would be copied until the disk is full, a FIFO would
    // block, a directory is no package. Nothing is created, and a temporary that a copy killed earlier
    // left (of the copy's own pattern, untouched for a minute) is gone after the next copy.
    ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0);
    LogCapture log;
    for (const std::string &from : {std::string("/dev/zero"), work / "fifo", www.path}) {
        EXPECT_EQ(restore(from, "/oemdata/upgrade/complete.tgz", TBOX_RESTORE_WHOLE), failed) << from;
        EXPECT_TRUE(log.has("whole pkg rename fail[Invalid argument]\n")) << from;
        EXPECT_TRUE(log.contains(" [err] upgrade_api.cpp-")) << "the restore logs under its old name";
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(box), {}), 1);
    put(box + "/complete.tgz.k1Lled", "the start of a copy");
    const timespec minuteAgo[2] = {{time(nullptr) - 61, 0}, {time(nullptr) - 61, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (box + "/complete.tgz.k1Lled").c_str(), minuteAgo, 0), 0);
    EXPECT_EQ(restore(work / "complete.tgz", box + "/complete.tgz", TBOX_RESTORE_WHOLE), moved);
    EXPECT_EQ(std::distance(fs::directory_iterator(box), {}), 2);
}

}  // namespace
