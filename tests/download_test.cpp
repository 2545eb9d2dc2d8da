// Download, digest check and restore: real HTTP and HTTPS servers on 127.0.0.1, certificates made by
// openssl, digests by coreutils, patches by bsdiff, and the box's own /oemdata in a private mount namespace.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdio>
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
    LogCapture log;
    Status status(TBOX_DOWNLOAD_STATUS_SIZE);
    EXPECT_EQ(DownloadUpgradeFile("http://127.0.0.1:1/x", (dir / "out").c_str(), status.get()), -1);
    EXPECT_EQ(CheckUpgradePkgMd5((dir / "pkg").c_str(), "00000000000000000000000000000000", status.get()), -1);
    EXPECT_EQ(CheckUpgradePkgSha256((dir / "pkg").c_str(), "00", status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg((dir / "pkg").c_str(), (dir / "new").c_str(), TBOX_RESTORE_WHOLE, status.get()), -1);
    EXPECT_EQ(status.text(), "untouched");
    EXPECT_EQ(dir.entries(), 1);  // nothing created, nothing moved
    EXPECT_TRUE(log.has("ERR:UpgradeTask have not init!\n"));
}

// The box, with a web root holding "pkg" (3 MiB of noise) and "empty".
class Steps : public UpgradeBox {
protected:
    void SetUp() override {
        UpgradeBox::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        put(www / "pkg", package);
        put(www / "empty", "");
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
        {http.url("/files/empty"), {0, "upgrade:download OK!", ""}},
        {http.url("/status/404"), {-1, httpError, ""}},
        {http.url("/status/500"), {-1, httpError, ""}},
        {http.url("/redirect"), {-1, httpError, ""}},  // not followed, and its body is not the package
        {"file://" + www / "pkg", {-1, otherScheme, ""}},
        {"ftp://127.0.0.1:1/pkg", {-1, otherScheme, ""}},
        {"http://127.0.0.1:1/pkg", {-1, perform_error(CURLE_COULDNT_CONNECT), ""}},
    };
    for (const auto &[url, expected] : rows) EXPECT_EQ(fetch(url), expected) << url;

    LogCapture log;
    fetch(http.url("/status/404"));
    EXPECT_TRUE(log.has(std::string("perform error:") + curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR) + "\n"));
    Status status(TBOX_DOWNLOAD_STATUS_SIZE);
    EXPECT_EQ(DownloadUpgradeFile(nullptr, out.c_str(), status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:download file fail, param error!");
    EXPECT_EQ(DownloadUpgradeFile(http.url("/files/pkg").c_str(), nullptr, status.get()), -1);
    EXPECT_EQ(DownloadUpgradeFile(http.url("/files/pkg").c_str(), out.c_str(), nullptr), -1);
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
    EXPECT_EQ(SetDownloadCaFile(nullptr), -1);
    EXPECT_EQ(SetDownloadCaFile((keys / "missing.pem").c_str()), -1);
    EXPECT_EQ(SetDownloadCaFile(keys.path.c_str()), -1);  // a directory reads as nothing
    EXPECT_EQ(fetch(url), unverified);                    // the earlier setting stays
    put("/etc/ssl/certs/ca-certificates.crt", "");
    EXPECT_EQ(SetDownloadCaFile((keys / "ca.pem").c_str()), 0);
    EXPECT_EQ(fetch(url), fetched);
    EXPECT_EQ(fetch(wrongHost.url("/files/pkg")), unverified);
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
        {CheckUpgradePkgSha256, pkg, md5, shaError},
        {CheckUpgradePkgMd5, pkg, md5 + "0", md5Error},
        {CheckUpgradePkgMd5, pkg, md5.substr(1), md5Error},
        {CheckUpgradePkgMd5, pkg, "g" + md5.substr(1), md5Error},
        {CheckUpgradePkgSha256, pkg, sha.substr(0, 63) + " ", shaError},
        {CheckUpgradePkgMd5, missing, "", md5Error},  // an empty digest never matches a missing file
        {CheckUpgradePkgSha256, missing, "", shaError},
        {CheckUpgradePkgMd5, missing, md5, md5Error},
    };
    for (const Row &row : rows) {
        Status status(TBOX_CHECK_STATUS_SIZE);
        const int result = row.check(row.path.c_str(), row.expected.c_str(), status.get());
        EXPECT_EQ((Got{result, status.text(), ""}), row.got) << row.path << " " << row.expected;
    }
    LogCapture log;
    Status status(TBOX_CHECK_STATUS_SIZE);
    EXPECT_EQ(CheckUpgradePkgMd5(pkg.c_str(), nullptr, status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:MD5 fail, param error!");
    EXPECT_EQ(CheckUpgradePkgSha256(nullptr, sha.c_str(), status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:SHA256 fail, param error!");
    EXPECT_EQ(CheckUpgradePkgMd5(pkg.c_str(), md5.c_str(), nullptr), -1);
    EXPECT_TRUE(log.has("upgrade:MD5 fail, param error!\n") && log.has("upgrade:SHA256 fail, param error!\n"));
}

TEST_F(Steps, DifferenceRestorePatchesTheBoxsOldPackageAndSurvivesACorruptPatch) {
    const std::string patch = work / "pkg.patch", made = work / "complete.tgz";
    Bytes next = package;
    next.replace(1 << 20, 4096, noise(9000, 3));
    put(work / "new", next);
    run("bsdiff " + www / "pkg" + " " + work / "new" + " " + patch);
    EXPECT_EQ(restore(patch, made, TBOX_RESTORE_DIFF), (Got{-1, "upgrade:Not Found Old Package", "(none)"}));
    put(kOldPackage, package);
    EXPECT_EQ(restore(patch, made, TBOX_RESTORE_DIFF), (Got{0, "upgrade:bsdiff patch success", next}));
    EXPECT_TRUE(get(kOldPackage) == package);

    std::remove(made.c_str());
    put(patch, get(patch).substr(0, 200));
    LogCapture log;
    EXPECT_EQ(restore(patch, made, TBOX_RESTORE_DIFF), (Got{-1, "upgrade:bsdiff patch pkg error", "(none)"}));
    EXPECT_TRUE(log.has("bsdiff patch pkg error\n"));
}

TEST_F(Steps, WholeRestoreMovesAnyPathWithoutAShellAndReportsAFailedMove) {
    // /tmp and the box's /oemdata tmpfs are different file systems: that move is a copy.
    const std::string odd = "pkg with blanks; touch pwned $(touch pwned) `touch pwned` 'q\" &.tgz";
    const Got moved{0, "upgrade:whole pkg rename success", package};
    for (const auto &[from, to] : {std::pair{work / odd, "/oemdata/upgrade/" + odd},
                                   {"/oemdata/upgrade/" + odd, "/oemdata/upgrade/complete.tgz"},
                                   {work / odd, work / "complete.tgz"}}) {
        put(from, package);
        put(to, "an older complete package");
        EXPECT_EQ(restore(from, to, TBOX_RESTORE_WHOLE), moved) << to;
        EXPECT_FALSE(fs::exists(from)) << from;
    }
    EXPECT_FALSE(fs::exists("pwned") || fs::exists(work / "pwned"));
    EXPECT_EQ(std::distance(fs::directory_iterator("/oemdata/upgrade"), {}), 2);  // no temporary file left

    const Got failed{-1, "upgrade:whole pkg rename fail", "(none)"};
    EXPECT_EQ(restore(work / "gone", work / "x", TBOX_RESTORE_WHOLE), failed);
    EXPECT_EQ(restore(work / "complete.tgz", "/oemdata/no/dir/x", TBOX_RESTORE_WHOLE), failed);
    EXPECT_TRUE(get(work / "complete.tgz") == package);  // a failed move keeps the fetched file
    for (uint8_t type : {0, 3, 255}) {
        EXPECT_EQ(restore(work / "complete.tgz", work / "y", type), (Got{0, "untouched", "(none)"}));
    }
    Status status(TBOX_CHECK_STATUS_SIZE);
    EXPECT_EQ(RestoreUpgradePkg(nullptr, "/x", TBOX_RESTORE_WHOLE, status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg("/x", nullptr, TBOX_RESTORE_DIFF, status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg("/x", "/y", TBOX_RESTORE_WHOLE, nullptr), -1);
    EXPECT_EQ(status.text(), "untouched");
}

}  // namespace
