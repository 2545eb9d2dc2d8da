// The file steps of the upgrade road: download, digest check and restore. Its lines carry the name of the
// file they came from.
#define TBOX_LOG_SOURCE "upgrade_api.cpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/durable_file.h"
#include "common/io.h"
#include "common/log.h"
#include "common/raii.h"
#include "common/text.h"
#include "tbox/digest.h"
#include "tbox/patch.h"
#include "tbox/upgrade.h"
#include "upgrade/upgrade_internal.h"
#include "upgrade/upgrade_resume.h"

namespace {

using tbox::text::copy_cut;

constexpr size_t kCopyChunk = size_t{1} << 20;

bool refuse_before_init() {
    if (tbox::upgrade::task_client_ready()) return false;
    TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
    return true;
}

std::mutex g_caMutex;
std::string g_caFile;  // empty: the system's CA store

constexpr long kLowSpeedBytesPerSecond = 1;
constexpr long kReceiveBuffer = 100L * 1024;

void store_status(char *status, const char *text, size_t capacity) {
    if (status != nullptr) copy_cut(status, text, capacity);
}

// The download progress callback; read at every report, so NULL stops reports at once, also mid-transfer.
std::atomic<DownloadProgressCb> g_progressCb{nullptr};
// Reports during a transfer are at least this far apart.
constexpr gint64 kProgressPeriodUs = gint64{250} * 1000;

struct BodySink {
    CURL *curl;
    int fd;
    int64_t stored = 0;
    gint64 lastReportUs = 0;
};

// Stores the body of a 2xx response only; anything else ends the transfer before a byte is stored.
size_t write_body(char *data, size_t size, size_t count, void *user) {
    auto *sink = static_cast<BodySink *>(user);
    long code = 0;
    curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &code);
    const size_t n = size * count;
    if (code < 200 || code > 299) return 0;
    if (tbox::io::write_full(sink->fd, data, n) != static_cast<ssize_t>(n)) return 0;
    sink->stored += static_cast<int64_t>(n);
    return n;
}

// libcurl's transfer-info callback: hands the stored byte count and the announced total (-1 while
// unknown) to the progress callback, at most once per kProgressPeriodUs. Never aborts the transfer.
int report_progress(void *user, curl_off_t dltotal, curl_off_t, curl_off_t, curl_off_t) {
    auto *sink = static_cast<BodySink *>(user);
    const DownloadProgressCb callback = g_progressCb.load();
    if (callback == nullptr || sink->stored == 0) return 0;
    const gint64 now = g_get_monotonic_time();
    if (sink->lastReportUs != 0 && now - sink->lastReportUs < kProgressPeriodUs) return 0;
    sink->lastReportUs = now;
    callback(sink->stored, dltotal > 0 ? static_cast<int64_t>(dltotal) : -1);
    return 0;
}

void restrict_protocols(CURL *curl) {
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
#endif
}

}  // namespace

namespace tbox::upgrade {

CURLcode curl_ready() {
    static const CURLcode kGlobalInit = curl_global_init(CURL_GLOBAL_DEFAULT);
    return kGlobalInit;
}

// The CA file is copied under the lock and handed to libcurl, which copies it again.
void apply_common_options(CURL *c) {
    std::string caFile;
    {
        const std::lock_guard<std::mutex> lock(g_caMutex);
        caFile = g_caFile;
    }
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, waits().stallSeconds);
    restrict_protocols(c);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
}

DownloadProgressCb progress_callback() {
    return g_progressCb.load();
}

}  // namespace tbox::upgrade

namespace {

// Runs the transfer of `url` into `fd`. Returns libcurl's code, CURLE_HTTP_RETURNED_ERROR for a final
// response outside 200-299.
CURLcode transfer(const char *url, int fd, int64_t &stored) {
    if (const CURLcode ready = tbox::upgrade::curl_ready(); ready != CURLE_OK) return ready;
    const tbox::Owned<CURL, curl_easy_cleanup> curl(curl_easy_init());
    if (!curl) return CURLE_FAILED_INIT;
    BodySink sink{curl.get(), fd};
    stored = 0;
    CURL *c = curl.get();
    tbox::upgrade::apply_common_options(c);
    curl_easy_setopt(c, CURLOPT_URL, url);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, report_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &sink);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    const CURLcode performed = curl_easy_perform(c);
    stored = sink.stored;
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    const bool answered = code != 0 || performed == CURLE_OK;
    if (answered && (code < 200 || code > 299)) return CURLE_HTTP_RETURNED_ERROR;
    return performed;
}

using tbox::files::directory_of;
using tbox::files::sync_directory;

// Copies the regular file `from` into a new file beside `to`, which takes the name `to` once complete and
// on disk (tbox::files::NewFile), then removes `from`.
bool copy_across(const char *from, const char *to) {
    const tbox::UniqueFd in(::open(from, O_RDONLY | O_NONBLOCK | O_CLOEXEC));  // a FIFO must not block us
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    tbox::files::NewFile out(to, tbox::files::TempNames::kSuffix);
    if (!out.open()) return false;
    std::vector<char> buffer(kCopyChunk);
    for (ssize_t got = 1; got > 0;) {
        got = tbox::io::read_full(in.get(), buffer.data(), buffer.size());
        if (got < 0 || tbox::io::write_full(out.fd(), buffer.data(), static_cast<size_t>(got)) != got) return false;
    }
    return out.commit(st.st_mode & 07777) && ::unlink(from) == 0 && sync_directory(directory_of(from));
}

// Moves the regular file `from` to `to`: on one file system it takes the new name once its data is on
// disk, across file systems it is copied. Anything but a regular file is refused (errno EINVAL): a
// device or a pipe never ends, so its copy would fill the disk.
bool move_file(const char *from, const char *to) {
    struct stat st {};
    if (::stat(from, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    struct stat dir {};
    const std::string toDir = directory_of(to);
    if (::stat(toDir.c_str(), &dir) == 0 && dir.st_dev == st.st_dev) {
        if (!tbox::files::sync_file(from)) return false;
        if (::renameat(AT_FDCWD, from, AT_FDCWD, to) == 0) {
            return sync_directory(toDir) && (directory_of(from) == toDir || sync_directory(directory_of(from)));
        }
        if (errno != EXDEV) return false;  // one device, yet two mounts (a bind mount): copy
    }
    return copy_across(from, to);
}

// The texts and sizes that tell the MD5 check from the SHA-256 check.
struct DigestCheck {
    size_t hexDigits;
    char *(*digest)(const char *path, char *md);
    const char *paramError;
    const char *ok;
    const char *mismatch;
};

constexpr DigestCheck kMd5{32, FileMD5, "upgrade:MD5 fail, param error!", "upgrade:MD5 OK", "upgrade:MD5 error"};
constexpr DigestCheck kSha256{64, FileSHA256, "upgrade:SHA256 fail, param error!", "upgrade:SHA256 OK",
                              "upgrade:SHA256 error"};

// Whether the file's digest equals `expected`; logs the two texts when the digest could be computed.
bool digest_matches(const DigestCheck &check, const char *path, const char *expected) {
    if (!tbox::upgrade::is_hex_digest(expected, check.hexDigits)) return false;
    char computed[65] = {0};
    if (check.digest(path, computed) == nullptr) return false;
    if (&check == &kMd5) {
        TBOX_LOG(debug, "md5text:%s\n", computed);
        TBOX_LOG(debug, "filemd5:%s\n", expected);
    } else {
        TBOX_LOG(debug, "sha256text:%s\n", computed);
        TBOX_LOG(debug, "filesha256:%s\n", expected);
    }
    return strcasecmp(computed, expected) == 0;
}

int check_package(const DigestCheck &check, const char *path, const char *expected, char *status) {
    if (refuse_before_init()) return -1;
    if (path == nullptr || expected == nullptr || status == nullptr) {
        if (&check == &kMd5) {
            TBOX_LOG(debug, "upgrade:MD5 fail, param error!\n");
        } else {
            TBOX_LOG(debug, "upgrade:SHA256 fail, param error!\n");
        }
        store_status(status, check.paramError, TBOX_CHECK_STATUS_SIZE);
        return -1;
    }
    const bool same = digest_matches(check, path, expected);
    store_status(status, same ? check.ok : check.mismatch, TBOX_CHECK_STATUS_SIZE);
    return same ? 0 : -1;
}

}  // namespace

int SetDownloadCaFile(const char *caFile) {
    if (caFile == nullptr) return -1;
    const tbox::UniqueFd fd(::open(caFile, O_RDONLY | O_CLOEXEC));
    char probe = 0;
    if (!fd || ::read(fd.get(), &probe, 1) < 0) return -1;
    const std::lock_guard<std::mutex> lock(g_caMutex);
    g_caFile = caFile;
    return 0;
}

int DownloadUpgradeFile(const char *url, const char *path, char *status) {
    if (refuse_before_init()) return -1;
    if (url == nullptr || path == nullptr || status == nullptr) {
        store_status(status, "upgrade:download file fail, param error!", TBOX_DOWNLOAD_STATUS_SIZE);
        return -1;
    }
    tbox::UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) {
        TBOX_LOG(debug, "[%s] open file fail\n", "DownloadUpgradeFile");
        store_status(status, "upgrade: open file fail!", TBOX_DOWNLOAD_STATUS_SIZE);
        return -1;
    }
    int64_t stored = 0;
    CURLcode code = transfer(url, fd.get(), stored);
    // "download OK!" promises a package that survives a power cut: its data and its directory entry.
    if (code == CURLE_OK && ::fsync(fd.get()) != 0) code = CURLE_WRITE_ERROR;
    if (::close(fd.release()) != 0 && code == CURLE_OK) code = CURLE_WRITE_ERROR;
    if (code == CURLE_OK && !sync_directory(directory_of(path))) code = CURLE_WRITE_ERROR;
    if (code != CURLE_OK) {
        TBOX_LOG(err, "perform error:%s\n", curl_easy_strerror(code));
        char text[TBOX_DOWNLOAD_STATUS_SIZE];
        std::snprintf(text, sizeof text, "upgrade:perform error:%d-%s\n", static_cast<int>(code),
                      curl_easy_strerror(code));
        store_status(status, text, TBOX_DOWNLOAD_STATUS_SIZE);
        return -1;
    }
    // The last report of a complete body, whenever the previous one came: the total is known now.
    if (const DownloadProgressCb callback = g_progressCb.load(); callback != nullptr) callback(stored, stored);
    store_status(status, "upgrade:download OK!", TBOX_DOWNLOAD_STATUS_SIZE);
    return 0;
}

void RegisterDownloadProgressCb(DownloadProgressCb callback) {
    g_progressCb = callback;
}

int CheckUpgradePkgMd5(const char *path, const char *md5, char *status) {
    return check_package(kMd5, path, md5, status);
}

int CheckUpgradePkgSha256(const char *path, const char *sha256, char *status) {
    return check_package(kSha256, path, sha256, status);
}

int RestoreUpgradePkg(const char *fetched, const char *complete, uint8_t type, char *status) {
    if (refuse_before_init()) return -1;
    if (fetched == nullptr || complete == nullptr || status == nullptr) return -1;
    TBOX_LOG(debug, "upgrade type:%s\n", type == TBOX_RESTORE_DIFF ? "diff" : "whole");
    const char *text = nullptr;
    int result = -1;
    if (type == TBOX_RESTORE_DIFF) {
        if (::access(tbox::upgrade::kOldPackage, F_OK) != 0) {
            TBOX_LOG(warn, "Not Found OLD PKG\n");
            text = "upgrade:Not Found Old Package";
        } else if (BSDiffPatchFile(tbox::upgrade::kOldPackage, complete, fetched) == 0) {
            TBOX_LOG(debug, "patch file ok\n");
            text = "upgrade:bsdiff patch success";
            result = 0;
        } else {
            TBOX_LOG(warn, "bsdiff patch pkg error\n");
            text = "upgrade:bsdiff patch pkg error";
        }
    } else if (type == TBOX_RESTORE_WHOLE) {
        if (move_file(fetched, complete)) {
            TBOX_LOG(debug, "whole pkg rename ok\n");
            text = "upgrade:whole pkg rename success";
            result = 0;
        } else {
            TBOX_LOG(err, "whole pkg rename fail[%s]\n", std::strerror(errno));
            text = "upgrade:whole pkg rename fail";
        }
    } else {
        return 0;
    }
    store_status(status, text, TBOX_CHECK_STATUS_SIZE);
    return result;
}
