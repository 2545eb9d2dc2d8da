// The resumable download against a real nginx (Range, If-Range, ETag are its own) and, for what no real
// server can be told to do (cut a connection, ignore ranges, shift them, answer 503), the loopback peer;
// killed downloads in forked children; a full disk in a small tmpfs of a private mount namespace.
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/files.h"
#include "support/http_peer.h"
#include "support/nginx.h"
#include "support/upgrade_box.h"
#include "tbox/upgrade.h"
#include "upgrade/upgrade_resume.h"

namespace {
using namespace tbox::test;
namespace fs = std::filesystem;

std::string perform_error(CURLcode code) {
    return "upgrade:perform error:" + std::to_string(code) + "-" + curl_easy_strerror(code) + "\n";
}

std::string digest_of(const std::string &tool, const std::string &path) {
    const std::string command = tool + " < '" + path + "'";
    FILE *p = popen(command.c_str(), "r");
    char hex[129] = {0};
    if (p == nullptr || std::fscanf(p, "%128[0-9a-f]", hex) != 1) hex[0] = 0;
    if (p != nullptr) pclose(p);
    return hex;
}

// Options as a caller of this version sets them; the rest zero.
TboxDownloadOptions opts(uint32_t attempts = 0, uint32_t deadline = 0, uint64_t rate = 0, const char *sha = nullptr) {
    TboxDownloadOptions o{};
    o.size = sizeof o;
    o.attempts = attempts;
    o.deadlineSeconds = deadline;
    o.maxRateBytesPerSecond = rate;
    o.sha256 = sha;
    return o;
}

std::vector<std::pair<int64_t, int64_t>> g_reports;
void record(int64_t received, int64_t total) {
    g_reports.emplace_back(received, total);
}

TEST(ResumeSidecar, RoundTripsAndTrustsNothingDamagedOrForeign) {
    const tbox::upgrade::PartSidecar sidecar{"http://127.0.0.1:8080/files/pkg", "\"5f1d-600000\"", 4194304};
    const std::string text = tbox::upgrade::format_sidecar(sidecar);
    ASSERT_EQ(tbox::upgrade::parse_sidecar(text.data(), text.size()), sidecar);
    std::string flipped = text, noCheck = text.substr(0, text.find("check ")), bigCount = text;
    flipped[text.find("4194304")] = '5';
    bigCount.replace(text.find("4194304"), 7, "99999999999999999999");
    const std::string rows[] = {
        "",
        text.substr(0, text.size() - 1),
        flipped,
        noCheck,
        text + "x",
        bigCount,
        "tbox-part 2" + text.substr(11),
        std::string(20000, 'a'),
    };
    for (const std::string &row : rows) EXPECT_FALSE(tbox::upgrade::parse_sidecar(row.data(), row.size())) << row;
}

TEST(ResumeSteps, RefusesBeforeTheUpgradeClientIsInitialised) {
    TempDir dir;
    char status[TBOX_DOWNLOAD_STATUS_SIZE] = "untouched";
    EXPECT_EQ(DownloadUpgradePkg("http://127.0.0.1:1/x", (dir / "out").c_str(), nullptr, status), -1);
    EXPECT_STREQ(status, "untouched");
    EXPECT_EQ(dir.entries(), 0);
}

// The box, a web root with "pkg" (6 MiB of noise) and short back-off pauses.
class Resume : public UpgradeBox {
public:
    struct Got {
        int result;
        std::string status;
        bool operator==(const Got &o) const { return result == o.result && status == o.status; }
    };

protected:
    void SetUp() override {
        UpgradeBox::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        put(www / "pkg", package);
        sha = digest_of("sha256sum", www / "pkg");
        md5 = digest_of("md5sum", www / "pkg");
        tbox::upgrade::set_resume_waits_for_tests({10, 100, 256 << 10});
        g_reports.clear();
    }
    // By reference: a caller's larger struct must reach the library whole.
    Got fetch(const std::string &url, const TboxDownloadOptions &options) {
        char status[TBOX_DOWNLOAD_STATUS_SIZE] = "untouched";
        const int result = DownloadUpgradePkg(url.c_str(), out.c_str(), &options, status);
        return {result, status};
    }
    TboxDownloadOptions checked() const { return opts(0, 0, 0, sha.c_str()); }
    // What the sidecar vouches for, -1 when there is none that parses.
    int64_t vouched() const {
        const Bytes text = get(out + ".part.meta");
        const auto sidecar = tbox::upgrade::parse_sidecar(text.data(), text.size());
        return sidecar ? static_cast<int64_t>(sidecar->count) : -1;
    }
    int64_t part_size() const {
        return fs::exists(out + ".part") ? static_cast<int64_t>(fs::file_size(out + ".part")) : -1;
    }
    // A partial file of `cut` bytes from the peer's `url` (one attempt, cut short).
    void leave_partial(const std::string &url, int cut) {
        put(www / "pkg.cut", std::to_string(cut));
        ASSERT_EQ(fetch(url, opts(1)), (Got{-1, perform_error(CURLE_PARTIAL_FILE)}));
        ASSERT_EQ(vouched(), cut);
        ASSERT_EQ(part_size(), cut);
        ASSERT_FALSE(fs::exists(out));
        fs::remove(www / "pkg.cut");
    }

    TempDir www, work;
    std::string out = work / "pkg.tgz";
    Bytes package = noise(6 << 20, 5);
    std::string sha, md5;
};

std::ostream &operator<<(std::ostream &os, const Resume::Got &g) {
    return os << g.result << " \"" << g.status << "\"";
}

TEST_F(Resume, AgainstNginxFetchesVerifiesAndReportsBothDigestsAndTheWholeObjectsProgress) {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << kNginx << " missing (scripts/bootstrap installs nginx-light)";
    Nginx nginx(www.path);
    char shaOut[65], md5Out[33];
    // A newer caller's larger struct is fine while what this library does not know is zero.
    struct {
        TboxDownloadOptions known;
        uint64_t unknown;
    } newer{opts(0, 0, 0, sha.c_str()), 0};
    newer.known.size = sizeof newer;
    newer.known.md5 = md5.c_str();
    newer.known.sha256Out = shaOut;
    newer.known.md5Out = md5Out;
    RegisterDownloadProgressCb(record);
    take_sync_calls();
    ASSERT_EQ(fetch(nginx.url("/pkg"), newer.known), (Got{0, "upgrade:download OK!"}));
    RegisterDownloadProgressCb(nullptr);
    EXPECT_TRUE(get(out) == package);
    EXPECT_EQ(std::string(shaOut), sha);
    EXPECT_EQ(std::string(md5Out), md5);
    EXPECT_EQ(work.entries(), 1) << "neither the partial file nor its description stays";
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports.back(), (std::pair<int64_t, int64_t>(package.size(), package.size())));
    // Every description follows a flush of the bytes it vouches for; the package is flushed, then named.
    const std::vector<std::string> calls = take_sync_calls();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == "rename " + out + ".part.meta") {
            EXPECT_TRUE(i >= 3 && calls[i - 3] == "fsync file") << i;
        }
    }
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"fsync file", "rename " + out, "fsync dir " + work.path}));

    newer.unknown = 1;
    EXPECT_EQ(fetch(nginx.url("/pkg"), newer.known), (Got{-1, "upgrade:download options not supported"}));
    const std::string badSha = sha.substr(1), badMd5 = "g" + md5.substr(1);
    TboxDownloadOptions tiny = opts(), reserved = opts(), wrongMd5 = opts();
    tiny.size = 2;
    reserved.reserved = 7;
    wrongMd5.md5 = badMd5.c_str();
    const std::pair<TboxDownloadOptions, Got> refused[] = {
        {tiny, {-1, "upgrade:download options not supported"}},
        {reserved, {-1, "upgrade:download options not supported"}},
        {opts(0, 0, 0, badSha.c_str()), {-1, "upgrade:SHA256 fail, param error!"}},
        {wrongMd5, {-1, "upgrade:MD5 fail, param error!"}},
    };
    for (const auto &[options, got] : refused) EXPECT_EQ(fetch(nginx.url("/pkg"), options), got);
    // An older caller's smaller struct: the members it does not have keep their defaults.
    TboxDownloadOptions older = opts(0, 0, 0, sha.c_str());
    older.size = offsetof(TboxDownloadOptions, md5);
    std::remove(out.c_str());
    EXPECT_EQ(fetch(nginx.url("/pkg"), older), (Got{0, "upgrade:download OK!"}));
    // A receive-rate cap is a floor on the time a whole object takes (a slow machine only adds to it).
    std::remove(out.c_str());
    const uint64_t cap = package.size() * 2 / 3;  // bytes per second: at least 1.5 s for the object
    const gint64 start = g_get_monotonic_time();
    EXPECT_EQ(fetch(nginx.url("/pkg"), opts(0, 0, cap, sha.c_str())), (Got{0, "upgrade:download OK!"}));
    EXPECT_GE(g_get_monotonic_time() - start, 1400 * 1000) << "the cap was not kept";
    EXPECT_TRUE(get(out) == package);
}

TEST_F(Resume, AgainstNginxAKilledDownloadResumesByteExactAndAChangedObjectStartsAgain) {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << kNginx << " missing (scripts/bootstrap installs nginx-light)";
    Nginx nginx(www.path);
    const unsigned seed = std::random_device{}();
    std::minstd_rand random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Each child downloads at 2 MiB/s and is killed somewhere in its first second.
    const auto killed_child = [&] {
        const pid_t child = fork();
        if (child == 0) {
            TboxDownloadOptions slow = opts(1, 0, 2 << 20);
            char status[TBOX_DOWNLOAD_STATUS_SIZE];
            _exit(DownloadUpgradePkg(nginx.url("/pkg").c_str(), out.c_str(), &slow, status) == 0 ? 0 : 1);
        }
        g_usleep(50000 + random() % 800000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_TRUE(!fs::exists(out) || get(out) == package) << "the final name holds only a whole package";
        EXPECT_LE(vouched(), part_size());
    };
    int64_t before = 0;
    for (int round = 0; round < 3 && !fs::exists(out); ++round) {
        killed_child();
        if (vouched() >= 0) {
            EXPECT_GE(vouched(), before) << "a later child continued the earlier one's bytes";
        }
        before = std::max<int64_t>(vouched(), 0);
    }
    if (fs::exists(out)) before = 0;  // a child finished: the next call fetches afresh
    RegisterDownloadProgressCb(record);
    ASSERT_EQ(fetch(nginx.url("/pkg"), checked()), (Got{0, "upgrade:download OK!"}));
    RegisterDownloadProgressCb(nullptr);
    EXPECT_TRUE(get(out) == package);
    if (before > 0) {
        const std::string log = nginx.access_log();
        const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
        EXPECT_EQ(last, "206 " + std::to_string(package.size() - before) + " bytes=" + std::to_string(before) + "-\n");
        for (const auto &[received, total] : g_reports) {
            EXPECT_GE(received, before);  // the progress counts the resumed prefix
            EXPECT_EQ(total, static_cast<int64_t>(package.size()));
        }
    }

    // The object changes on the server while a partial file waits: If-Range fails, the new one is fetched whole.
    std::remove(out.c_str());
    killed_child();
    const Bytes next = noise(package.size(), 6);
    put(www / "pkg", next);
    const timespec later[2] = {{time(nullptr) + 10, 0}, {time(nullptr) + 10, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (www / "pkg").c_str(), later, 0), 0);  // nginx's ETag: mtime and size
    ASSERT_EQ(fetch(nginx.url("/pkg"), opts()), (Got{0, "upgrade:download OK!"}));
    EXPECT_TRUE(get(out) == next);
    const std::string log = nginx.access_log();
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, 4), "200 ");
}

TEST_F(Resume, ServersThatCutShiftIgnoreOrRefuseRangesNeverGetTheirObjectsSpliced) {
    HttpPeer peer(www.path);
    const int cut = 1 << 20;
    struct Row {
        std::string name, path;
        std::function<void()> between;  // what changes on the server after the partial file was made
        Bytes expected;
        Got got;
    };
    const Bytes shrunk = noise(cut / 2, 8), changed = noise(package.size(), 9);
    const Got ok{0, "upgrade:download OK!"};
    const Row rows[] = {
        {"resumed", "/flaky/pkg", [] {}, package, ok},
        {"ignored range", "/norange/pkg", [] {}, package, ok},
        {"shifted range", "/shifted/pkg", [] {}, package, ok},
        {"changed object", "/flaky/pkg", [&] { put(www / "pkg", changed), put(www / "pkg.etag", "\"v2\""); }, changed,
         ok},
        {"416 for a shrunk object", "/flaky/pkg", [&] { put(www / "pkg", shrunk); }, shrunk, ok},
        {"more than announced", "/overlong/pkg", [] {}, "", {-1, "upgrade:server sent more than announced"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        put(www / "pkg", package);
        fs::remove(www / "pkg.etag");
        fs::remove(out);
        leave_partial(peer.url(row.path), cut);
        row.between();
        TboxDownloadOptions options = opts();
        const std::string expectedSha =
            row.expected.empty() ? sha : (put(work / "x", row.expected), digest_of("sha256sum", work / "x"));
        options.sha256 = expectedSha.c_str();
        EXPECT_EQ(fetch(peer.url(row.path), options), row.got);
        if (row.got.result == 0) {
            EXPECT_TRUE(get(out) == row.expected);
            EXPECT_FALSE(fs::exists(out + ".part") || fs::exists(out + ".part.meta"));
        } else {
            EXPECT_FALSE(fs::exists(out));
            EXPECT_GE(vouched(), cut) << "what came within the announced length is kept for a later call";
            EXPECT_EQ(part_size(), vouched());
        }
    }
}

TEST_F(Resume, TransientFailuresAreRetriedWithinAttemptsAndDeadlinePermanentOnesEndAtOnce) {
    HttpPeer peer(www.path);
    const Got ok{0, "upgrade:download OK!"}, httpError{-1, perform_error(CURLE_HTTP_RETURNED_ERROR)};
    struct Row {
        std::string path;
        uint32_t attempts, deadline;
        int cut;
        Got got;
    };
    const Row rows[] = {
        {"/flaky/pkg", 8, 0, 1 << 20, ok},  // six cuts, each attempt continues the last
        {"/busy/503/2/pkg", 0, 0, 0, ok},   // Retry-After: 1, twice
        {"/busy/429/1/pkg", 0, 0, 0, ok},
        {"/busy/408/1/pkg", 0, 0, 0, ok},
        {"/busy/404/1/pkg", 0, 0, 0, httpError},  // would have been served the second time
        {"/busy/403/1/pkg", 0, 0, 0, httpError},
        {"/busy/503/9/pkg", 2, 0, 0, httpError},
        {"/busy/503/9/pkg", 0, 1, 0, {-1, "upgrade:download timeout"}},  // Retry-After outlasts the deadline
        {"/flaky/pkg", 3, 0, 1 << 20, {-1, perform_error(CURLE_PARTIAL_FILE)}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        fs::remove(out);
        fs::remove(out + ".part");
        fs::remove(out + ".part.meta");
        if (row.cut > 0) put(www / "pkg.cut", std::to_string(row.cut));
        const TboxDownloadOptions options = opts(row.attempts, row.deadline, 0, sha.c_str());
        EXPECT_EQ(fetch(peer.url(row.path), options), row.got);
        fs::remove(www / "pkg.cut");
        if (row.got.result == 0) {
            EXPECT_TRUE(get(out) == package);
        } else {
            EXPECT_FALSE(fs::exists(out));
        }
    }
    EXPECT_EQ(part_size(), 3 << 20) << "three cut attempts leave three MiB for the next call";
    EXPECT_EQ(fetch(peer.url("/flaky/pkg"), checked()), ok);
    EXPECT_TRUE(get(out) == package);
}

TEST_F(Resume, BadInputDamagedOrForeignPartsAndAFullDiskLoseNothing) {
    HttpPeer peer(www.path);
    const Got ok{0, "upgrade:download OK!"};
    char status[TBOX_DOWNLOAD_STATUS_SIZE];
    EXPECT_EQ(DownloadUpgradePkg(nullptr, out.c_str(), nullptr, status), -1);
    EXPECT_STREQ(status, "upgrade:download file fail, param error!");
    EXPECT_EQ(fetch("file://" + www / "pkg", opts()), (Got{-1, perform_error(CURLE_UNSUPPORTED_PROTOCOL)}));
    EXPECT_EQ(work.entries(), 0) << "no empty partial file is left";
    const std::string missing = work / "no/dir/pkg";
    EXPECT_EQ(DownloadUpgradePkg(peer.url("/flaky/pkg").c_str(), missing.c_str(), nullptr, status), -1);
    EXPECT_STREQ(status, "upgrade: open file fail!");

    // A kept prefix that no longer holds what came (a damaged disk) fails the digest; the next call starts
    // afresh. A damaged or foreign description vouches for nothing: the bytes are fetched again.
    const int cut = 1 << 20;
    const std::function<void()> damages[] = {
        [&] {
            Bytes meta = get(out + ".part.meta");
            meta[meta.find("count ") + 6] ^= 1;
            put(out + ".part.meta", meta);
        },
        [&] {
            Bytes meta = get(out + ".part.meta");
            meta.replace(meta.find("/flaky/"), 7, "/fla/y/");
            put(out + ".part.meta", meta);
        },
        [&] { fs::remove(out + ".part.meta"); },
    };
    leave_partial(peer.url("/flaky/pkg"), cut);
    {
        Bytes part = get(out + ".part");
        part[1000] ^= 0x55;
        put(out + ".part", part);
    }
    EXPECT_EQ(fetch(peer.url("/flaky/pkg"), checked()), (Got{-1, "upgrade:SHA256 error"}));
    EXPECT_EQ(work.entries(), 0) << "a package that failed its digest is not kept";
    for (const auto &damage : damages) {
        leave_partial(peer.url("/flaky/pkg"), cut);
        Bytes part = get(out + ".part");
        part[1000] ^= 0x55;  // only a fresh start gives the right digest
        put(out + ".part", part);
        damage();
        EXPECT_EQ(fetch(peer.url("/flaky/pkg"), checked()), ok);
        EXPECT_TRUE(get(out) == package);
        fs::remove(out);
    }

    // Bytes past what the description vouches for (written, then the power cut before it was rewritten)
    // are dropped, however long the tail.
    leave_partial(peer.url("/flaky/pkg"), cut);
    put(out + ".part", get(out + ".part") + noise(package.size(), 4));
    EXPECT_EQ(fetch(peer.url("/flaky/pkg"), checked()), ok);
    EXPECT_TRUE(get(out) == package);

    // A disk that fills up: the call fails, what is whole stays vouched for, and a call with room finishes.
    const std::string small = "/oemdata/small", pkg = small + "/pkg.tgz";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m"), 0) << std::strerror(errno);
    TboxDownloadOptions options = checked();
    EXPECT_EQ(DownloadUpgradePkg(peer.url("/flaky/pkg").c_str(), pkg.c_str(), &options, status), -1);
    EXPECT_STREQ(status, "upgrade:write file fail:No space left on device");
    EXPECT_FALSE(fs::exists(pkg));
    const Bytes meta = get(pkg + ".part.meta");
    const auto sidecar = tbox::upgrade::parse_sidecar(meta.data(), meta.size());
    ASSERT_TRUE(sidecar);
    EXPECT_GT(sidecar->count, 0u);
    EXPECT_LE(sidecar->count, fs::file_size(pkg + ".part")) << "never more than is on disk";
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT, "size=16m"), 0) << std::strerror(errno);
    EXPECT_EQ(DownloadUpgradePkg(peer.url("/flaky/pkg").c_str(), pkg.c_str(), &options, status), 0);
    EXPECT_TRUE(get(pkg) == package);
}

}  // namespace
