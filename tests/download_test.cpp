// Download, digest check and restore: real HTTP and HTTPS servers on 127.0.0.1, certificates made by
// openssl, digests by coreutils, patches by bsdiff, and the box's own /oemdata in a private mount namespace.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
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

std::string perform_error(CURLcode code) {
    return "upgrade:perform error:" + std::to_string(code) + "-" + curl_easy_strerror(code) + "\n";
}

// A status buffer of exactly `size` bytes followed by a guard the library must never touch.
struct StatusBuffer {
    explicit StatusBuffer(size_t size, const char *initial = "untouched") : size_(size), bytes_(size + 8, '#') {
        std::snprintf(bytes_.data(), size, "%s", initial);
    }
    char *get() { return bytes_.data(); }
    std::string text() const { return bytes_.data(); }
    bool guard_intact() const { return std::string(bytes_.data() + size_, 8) == std::string(8, '#'); }

private:
    size_t size_;
    std::vector<char> bytes_;
};

TEST(UpgradeSteps, RefuseBeforeTheUpgradeClientIsInitialisedAndLeaveTheStatus) {
    TempDir dir;
    put(dir / "pkg", "package");
    LogCapture log;
    StatusBuffer status(TBOX_DOWNLOAD_STATUS_SIZE);
    EXPECT_EQ(DownloadUpgradeFile("http://127.0.0.1:1/x", (dir / "out").c_str(), status.get()), -1);
    EXPECT_EQ(CheckUpgradePkgMd5((dir / "pkg").c_str(), "00000000000000000000000000000000", status.get()), -1);
    EXPECT_EQ(CheckUpgradePkgSha256((dir / "pkg").c_str(), "00", status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg((dir / "pkg").c_str(), (dir / "new").c_str(), TBOX_RESTORE_WHOLE, status.get()), -1);
    EXPECT_EQ(status.text(), "untouched");
    EXPECT_EQ(dir.entries(), 1);  // nothing created, nothing moved
    EXPECT_TRUE(log.has("ERR:UpgradeTask have not init!\n"));
}

// The box with a web server: /files/pkg (3 MiB of noise) and /files/empty.
class Download : public UpgradeBox {
protected:
    void SetUp() override {
        UpgradeBox::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        package = noise(3 << 20, 11);
        put(www / "pkg", package);
        put(www / "empty", "");
    }
    // Downloads `url` into a fresh file; returns the result, with the status and the file's bytes.
    int fetch(const std::string &url, std::string *status, Bytes *body = nullptr) {
        StatusBuffer buffer(TBOX_DOWNLOAD_STATUS_SIZE);
        const int result = DownloadUpgradeFile(url.c_str(), out.c_str(), buffer.get());
        EXPECT_TRUE(buffer.guard_intact()) << url;
        *status = buffer.text();
        if (body != nullptr) *body = get(out);
        return result;
    }
    TempDir www, work;
    std::string out = work / "download.tgz";
    Bytes package;
};

TEST_F(Download, StoresTwoHundredBodiesByteExactAndFailsEverythingElseWithoutStoringIt) {
    HttpPeer http(www.path);
    struct Row {
        std::string url;
        int result;
        std::string status;
        Bytes body;
    };
    const std::string ok = "upgrade:download OK!";
    const std::vector<Row> rows = {
        {http.url("/files/pkg"), 0, ok, package},
        {http.url("/files/empty"), 0, ok, ""},
        {http.url("/status/404"), -1, perform_error(CURLE_HTTP_RETURNED_ERROR), ""},
        {http.url("/status/500"), -1, perform_error(CURLE_HTTP_RETURNED_ERROR), ""},
        {http.url("/redirect"), -1, perform_error(CURLE_HTTP_RETURNED_ERROR), ""},  // not followed, not stored
        {"file://" + www / "pkg", -1, perform_error(CURLE_UNSUPPORTED_PROTOCOL), ""},
        {"ftp://127.0.0.1:1/pkg", -1, perform_error(CURLE_UNSUPPORTED_PROTOCOL), ""},
        {"http://127.0.0.1:1/pkg", -1, perform_error(CURLE_COULDNT_CONNECT), ""},
    };
    for (const Row &row : rows) {
        put(out, "stale bytes of an earlier attempt");
        std::string status;
        Bytes body;
        EXPECT_EQ(fetch(row.url, &status, &body), row.result) << row.url;
        EXPECT_EQ(status, row.status) << row.url;
        EXPECT_TRUE(body == row.body) << row.url << ": " << body.size() << " bytes";
    }
    LogCapture log;
    std::string status;
    fetch(http.url("/status/404"), &status);
    EXPECT_TRUE(log.has(std::string("perform error:") + curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR) + "\n"));
}

TEST_F(Download, RefusesNullArgumentsAndUnwritableDestinations) {
    struct Row {
        const char *url, *path;
        bool withStatus;
        const char *status;
    };
    const std::string missingDir = work / "no/such/dir/pkg";
    const Row rows[] = {
        {nullptr, out.c_str(), true, "upgrade:download file fail, param error!"},
        {"http://127.0.0.1:1/", nullptr, true, "upgrade:download file fail, param error!"},
        {"http://127.0.0.1:1/", out.c_str(), false, nullptr},
        {"http://127.0.0.1:1/", missingDir.c_str(), true, "upgrade: open file fail!"},
    };
    for (const Row &row : rows) {
        StatusBuffer status(TBOX_DOWNLOAD_STATUS_SIZE);
        EXPECT_EQ(DownloadUpgradeFile(row.url, row.path, row.withStatus ? status.get() : nullptr), -1);
        if (row.withStatus) {
            EXPECT_EQ(status.text(), row.status);
        }
    }
}

TEST_F(Download, StalledTransfersEndWhileSlowSteadyOnesComplete) {
    tbox::upgrade::Waits waits;
    waits.stallSeconds = 2;
    tbox::upgrade::set_waits_for_tests(waits);
    HttpPeer http(www.path);
    std::string status;
    Bytes body;
    EXPECT_EQ(fetch(http.url("/stall"), &status, &body), -1);
    EXPECT_EQ(status, perform_error(CURLE_OPERATION_TIMEDOUT));
    EXPECT_EQ(body, "0");                                         // what had arrived stays
    EXPECT_EQ(fetch(http.url("/trickle/7"), &status, &body), 0);  // 2.5 bytes/s for 2.8 s
    EXPECT_EQ(body, "ttttttt");
}

// A CA and certificates for 127.0.0.1 made with openssl for this test.
struct TestPki {
    explicit TestPki(const TempDir &d) : dir(d) {
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        for (const char *ca : {"ca", "other_ca"}) {
            run("openssl req -x509" + ec + " -keyout " + dir / ca + ".key -out " + dir / ca +
                ".pem -days 2 -subj '/CN=" + ca +
                "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null");
        }
        issue("server", "IP:127.0.0.1");
        issue("wrong_host", "DNS:other.example");
    }
    void issue(const std::string &name, const std::string &altName) {
        put(dir / name + ".ext", "subjectAltName=" + altName + "\n");
        run("openssl req" + std::string(" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes") + " -keyout " +
            dir / name + ".key -out " + dir / name + ".csr -subj /CN=tbox-test 2>/dev/null");
        run("openssl x509 -req -in " + dir / name + ".csr -CA " + dir / "ca.pem -CAkey " + dir / "ca.key" +
            " -set_serial 0x" + std::to_string(name.size()) + " -days 2 -extfile " + dir / name + ".ext -out " +
            dir / name + ".pem 2>/dev/null");
    }
    const TempDir &dir;
};

TEST_F(Download, HttpsIsVerifiedAgainstTheSystemStoreUntilACaBundleIsGivenThenOnlyThatBundle) {
    TempDir keys;
    TestPki pki(keys);
    HttpPeer https(www.path, keys / "server.pem", keys / "server.key");
    HttpPeer wrongHost(www.path, keys / "wrong_host.pem", keys / "wrong_host.key");
    const std::string url = https.url("/files/pkg");
    const std::string unverified = perform_error(CURLE_PEER_FAILED_VERIFICATION);
    std::string status;
    Bytes body;

    EXPECT_EQ(fetch(url, &status, &body), -1);  // the host's store does not know the test CA
    EXPECT_EQ(status, unverified);
    EXPECT_EQ(body, "");

    // A system store (private to this process) that trusts the test CA.
    const std::string store = private_tmpfs("/etc/ssl/certs");
    ASSERT_EQ(store, "");
    put("/etc/ssl/certs/ca-certificates.crt", get(keys / "ca.pem"));
    EXPECT_EQ(fetch(url, &status, &body), 0) << status;
    EXPECT_TRUE(body == package);
    EXPECT_EQ(fetch(wrongHost.url("/files/pkg"), &status), -1);  // the right CA, but not this host's certificate
    EXPECT_EQ(status, unverified);

    // Given a bundle, the system store no longer counts.
    EXPECT_EQ(SetDownloadCaFile((keys / "other_ca.pem").c_str()), 0);
    EXPECT_EQ(fetch(url, &status), -1);
    EXPECT_EQ(status, unverified);
    EXPECT_EQ(SetDownloadCaFile(nullptr), -1);
    EXPECT_EQ(SetDownloadCaFile((keys / "missing.pem").c_str()), -1);
    EXPECT_EQ(SetDownloadCaFile(keys.path.c_str()), -1);  // a directory reads as nothing
    EXPECT_EQ(fetch(url, &status), -1);                   // the earlier setting stays
    EXPECT_EQ(status, unverified);

    put("/etc/ssl/certs/ca-certificates.crt", "");
    EXPECT_EQ(SetDownloadCaFile((keys / "ca.pem").c_str()), 0);
    EXPECT_EQ(fetch(url, &status, &body), 0) << status;
    EXPECT_TRUE(body == package);
    EXPECT_EQ(fetch(wrongHost.url("/files/pkg"), &status), -1);
    EXPECT_EQ(status, unverified);
}

TEST_F(Download, DigestChecksNeedAWholeDigestOfAReadableFile) {
    const std::string pkg = work / "pkg";
    put(pkg, package);
    run("md5sum < " + pkg + " | cut -c1-32 > " + work / "md5; sha256sum < " + pkg + " | cut -c1-64 > " + work / "sha");
    std::string md5 = get(work / "md5"), sha = get(work / "sha");
    md5.pop_back();
    sha.pop_back();
    std::string upperMd5 = md5;
    for (char &c : upperMd5) c = static_cast<char>(toupper(c));
    std::string wrongMd5 = md5;
    wrongMd5[31] = wrongMd5[31] == '0' ? '1' : '0';
    const std::string missing = work / "missing";
    struct Row {
        bool sha256;
        const char *path;
        std::string expected;
        int result;
        const char *status;
    };
    const std::vector<Row> rows = {
        {false, pkg.c_str(), md5, 0, "upgrade:MD5 OK"},
        {false, pkg.c_str(), upperMd5, 0, "upgrade:MD5 OK"},
        {true, pkg.c_str(), sha, 0, "upgrade:SHA256 OK"},
        {false, pkg.c_str(), wrongMd5, -1, "upgrade:MD5 error"},
        {true, pkg.c_str(), md5, -1, "upgrade:SHA256 error"},
        {false, pkg.c_str(), md5 + "0", -1, "upgrade:MD5 error"},
        {false, pkg.c_str(), md5.substr(1), -1, "upgrade:MD5 error"},
        {false, pkg.c_str(), "g" + md5.substr(1), -1, "upgrade:MD5 error"},
        {true, pkg.c_str(), sha.substr(0, 63) + " ", -1, "upgrade:SHA256 error"},
        {false, missing.c_str(), "", -1, "upgrade:MD5 error"},  // an empty digest never matches a missing file
        {true, missing.c_str(), "", -1, "upgrade:SHA256 error"},
        {false, missing.c_str(), md5, -1, "upgrade:MD5 error"},
    };
    for (const Row &row : rows) {
        StatusBuffer status(TBOX_CHECK_STATUS_SIZE);
        const auto check = row.sha256 ? CheckUpgradePkgSha256 : CheckUpgradePkgMd5;
        EXPECT_EQ(check(row.path, row.expected.c_str(), status.get()), row.result) << row.expected;
        EXPECT_EQ(status.text(), row.status) << row.path << " " << row.expected;
        EXPECT_TRUE(status.guard_intact());
    }
    LogCapture log;
    StatusBuffer status(TBOX_CHECK_STATUS_SIZE);
    EXPECT_EQ(CheckUpgradePkgMd5(pkg.c_str(), nullptr, status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:MD5 fail, param error!");
    EXPECT_EQ(CheckUpgradePkgSha256(nullptr, sha.c_str(), status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:SHA256 fail, param error!");
    EXPECT_EQ(CheckUpgradePkgMd5(pkg.c_str(), md5.c_str(), nullptr), -1);
    EXPECT_TRUE(log.has("upgrade:MD5 fail, param error!\n") && log.has("upgrade:SHA256 fail, param error!\n"));
}

TEST_F(Download, DifferenceRestorePatchesTheBoxsOldPackageAndSurvivesACorruptPatch) {
    const std::string patch = work / "pkg.patch", made = work / "complete.tgz";
    Bytes next = package;
    next.replace(1 << 20, 4096, noise(9000, 3));
    put(work / "old", package);
    put(work / "new", next);
    StatusBuffer status(TBOX_CHECK_STATUS_SIZE);
    run("bsdiff " + work / "old" + " " + work / "new" + " " + patch);
    EXPECT_EQ(RestoreUpgradePkg(patch.c_str(), made.c_str(), TBOX_RESTORE_DIFF, status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:Not Found Old Package");

    put(kOldPackage, package);
    EXPECT_EQ(RestoreUpgradePkg(patch.c_str(), made.c_str(), TBOX_RESTORE_DIFF, status.get()), 0);
    EXPECT_EQ(status.text(), "upgrade:bsdiff patch success");
    EXPECT_TRUE(get(made) == next);
    EXPECT_TRUE(get(kOldPackage) == package);

    std::remove(made.c_str());
    Bytes corrupt = get(patch);
    corrupt.resize(corrupt.size() / 2);
    put(patch, corrupt);
    LogCapture log;
    EXPECT_EQ(RestoreUpgradePkg(patch.c_str(), made.c_str(), TBOX_RESTORE_DIFF, status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:bsdiff patch pkg error");
    EXPECT_TRUE(log.has("bsdiff patch pkg error\n"));
    EXPECT_FALSE(std::filesystem::exists(made));
    EXPECT_TRUE(status.guard_intact());
}

TEST_F(Download, WholeRestoreMovesAnyPathWithoutAShellAndReportsAFailedMove) {
    // /tmp and the box's /oemdata tmpfs are different file systems: that move is a copy.
    const std::string odd = "pkg with blanks; touch pwned $(touch pwned) `touch pwned` 'q\" &.tgz";
    struct Row {
        std::string from, to;
    };
    const std::vector<Row> rows = {{work / odd, "/oemdata/upgrade/" + odd},
                                   {"/oemdata/upgrade/" + odd, "/oemdata/upgrade/complete.tgz"},
                                   {work / odd, work / "complete.tgz"}};
    for (const Row &row : rows) {
        put(row.from, package);
        put(row.to, "an older complete package");
        StatusBuffer status(TBOX_CHECK_STATUS_SIZE);
        EXPECT_EQ(RestoreUpgradePkg(row.from.c_str(), row.to.c_str(), TBOX_RESTORE_WHOLE, status.get()), 0);
        EXPECT_EQ(status.text(), "upgrade:whole pkg rename success");
        EXPECT_TRUE(get(row.to) == package) << row.to;
        EXPECT_FALSE(std::filesystem::exists(row.from)) << row.from;
    }
    EXPECT_FALSE(std::filesystem::exists("pwned") || std::filesystem::exists(work / "pwned"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/oemdata/upgrade"), {}), 2);  // no temporary left

    StatusBuffer status(TBOX_CHECK_STATUS_SIZE);
    EXPECT_EQ(RestoreUpgradePkg((work / "gone").c_str(), (work / "x").c_str(), TBOX_RESTORE_WHOLE, status.get()), -1);
    EXPECT_EQ(status.text(), "upgrade:whole pkg rename fail");
    EXPECT_EQ(RestoreUpgradePkg((work / "complete.tgz").c_str(), "/oemdata/no/dir/x", TBOX_RESTORE_WHOLE, status.get()),
              -1);
    EXPECT_EQ(status.text(), "upgrade:whole pkg rename fail");
    EXPECT_TRUE(get(work / "complete.tgz") == package);  // a failed move keeps the fetched file

    for (uint8_t type : {0, 3, 255}) {
        StatusBuffer kept(TBOX_CHECK_STATUS_SIZE);
        EXPECT_EQ(RestoreUpgradePkg((work / "complete.tgz").c_str(), (work / "y").c_str(), type, kept.get()), 0);
        EXPECT_EQ(kept.text(), "untouched");
    }
    EXPECT_EQ(RestoreUpgradePkg(nullptr, "/x", TBOX_RESTORE_WHOLE, status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg("/x", nullptr, TBOX_RESTORE_DIFF, status.get()), -1);
    EXPECT_EQ(RestoreUpgradePkg("/x", "/y", TBOX_RESTORE_WHOLE, nullptr), -1);
    EXPECT_EQ(status.text(), "upgrade:whole pkg rename fail");
}

}  // namespace
