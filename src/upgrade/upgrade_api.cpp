#include <atomic>
#include <cstddef>

#include "common/log.h"
#include "common/queue_channel.h"
#include "tbox/upgrade_config.h"

// --- Upgrade configuration channel: queue key 2, shares no state with the upgrade task client ------
namespace {

namespace queue = tbox::queue;

// Identifier of the upgrade service's configuration queue (key 2): -1 until the first successful
// InitUpgradeConfigClient, then kept.
std::atomic<int> g_configQueueId{-1};

constexpr queue::Channel kConfigChannel = [] {
    queue::Channel ch;
    ch.serviceQueue = &g_configQueueId;
    ch.limits.serviceKey = 2;
    ch.limits.smallestKeyId = 3;
    ch.limits.typesAreSigned = true;
    ch.limits.firstType = CONFIG_TYPE_FIRST;
    ch.limits.lastType = CONFIG_TYPE_LAST;
    ch.limits.largestText = CONFIG_MSG_MAX_TEXT_SIZE;
    ch.limits.timeoutUnitMs = 1;
    ch.limits.lastDataType = 0;  // the library sends no data messages on this channel
    ch.limits.largestPayload = 0;
    ch.texts.source = tbox::log::base_name(__FILE__);
    ch.texts.openServiceError = "Open Upgrade ConfigQueue Error";
    ch.texts.serviceNotOpen = "Upgrade ConfigQueue not Open,Please Call InitUpgradeConfigClient\n";
    ch.texts.nullBuffer = "Recv Config Msg Buff Is NULL\n";
    ch.texts.logsInitStart = false;
    ch.texts.logsSubCmd = false;
    return ch;
}();

static_assert(offsetof(ConfigMsg, lead) == queue::kTextOffset);
static_assert(offsetof(ConfigMsg, len) == queue::kTextOffset + queue::kLenAt);
static_assert(sizeof(ConfigMsg) >= CONFIG_MSG_BUFFER_SIZE);
static_assert(CONFIG_MSG_BUFFER_SIZE == sizeof(long) + 4212);
static_assert(sizeof(ConfigType) == 4 && static_cast<ConfigType>(-1) < 0);
static_assert(CONFIG_CTRL_SUBSCRIBE == queue::kSubscribe && CONFIG_CTRL_UNSUBSCRIBE == queue::kUnsubscribe);

int SendCtrlMsgToUpgrade(uint32_t keyId, ConfigType msgType, ConfigType ctrlType) {
    return queue::send_control(kConfigChannel, keyId, static_cast<uint32_t>(msgType), ctrlType, TBOX_QUEUE_SITE);
}

}  // namespace

int InitUpgradeConfigClient(void) {
    return queue::init(kConfigChannel, TBOX_QUEUE_SITE);
}

int SubscriptionConfigMsg(uint32_t keyId, ConfigType msgType) {
    return SendCtrlMsgToUpgrade(keyId, msgType, CONFIG_CTRL_SUBSCRIBE);
}

int UnSubscriptionConfigMsg(uint32_t keyId, ConfigType msgType) {
    return SendCtrlMsgToUpgrade(keyId, msgType, CONFIG_CTRL_UNSUBSCRIBE);
}

int GetConfigMsg(int keyId, ConfigMsg *msg, int timeout) {
    return queue::receive(kConfigChannel, keyId, msg, timeout, TBOX_QUEUE_SITE);
}
// --- end of the upgrade configuration channel ----------------------------------------------------

// --- Upgrade task client (ky.update), and the download, digest and restore steps ------------------
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/dbus_client.h"
#include "common/io.h"
#include "common/raii.h"
#include "tbox/digest.h"
#include "tbox/patch.h"
#include "tbox/upgrade.h"
#include "tbox/upgrade_gdbus.h"
#include "upgrade/upgrade_internal.h"

namespace {

using tbox::client::call;

// The ky.update proxy: null until InitUpgradeClient succeeds, then kept for the life of the process.
KyUpdate *g_upgradeSke = nullptr;
UpgradeStateChangedCb g_changedCb = nullptr;
tbox::upgrade::Waits g_waits;

constexpr int kPollLimit = 180;  // status queries "in progress" allowed before giving up (181 sleeps)
constexpr size_t kMessageSize = TBOX_START_MESSAGE_SIZE;
constexpr size_t kCopyChunk = size_t{1} << 20;

// Copies `text` into `dst` (of `capacity` bytes) with its NUL, cut to fit.
void copy_cut(char *dst, const char *text, size_t capacity) {
    const size_t n = strnlen(text, capacity - 1);
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}

// The meeting point of one StartUpgradePkg call and its reply. The waiter and the reply handler each
// hold a reference, so a reply that comes after the wait ended still finds it alive, and a later call
// never shares it.
struct Rendezvous {
    Rendezvous() {
        g_mutex_init(&lock);
        g_cond_init(&cond);
    }
    ~Rendezvous() {
        g_cond_clear(&cond);
        g_mutex_clear(&lock);
    }
    Rendezvous(const Rendezvous &) = delete;
    Rendezvous &operator=(const Rendezvous &) = delete;

    GMutex lock;
    GCond cond;
    bool replied = false;
    int started = 0;
    char message[kMessageSize] = {0};
};
using RendezvousRef = std::shared_ptr<Rendezvous>;

void SendStartUpgradeStateChange(int32_t state) {
    if (g_changedCb != nullptr) g_changedCb(state);
}

void UpgradeCallback(GObject *source, GAsyncResult *result, gpointer userData) {
    const std::unique_ptr<RendezvousRef> hold(static_cast<RendezvousRef *>(userData));  // the handler's reference
    if (g_upgradeSke == nullptr) {
        TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
        return;
    }
    if (!hold) return;
    Rendezvous &rv = **hold;
    tbox::GCharOut errLog;
    tbox::GErrorOut error;
    const bool accepted = ky_update_call_start_upgrade_finish(KY_UPDATE(source), errLog.out(), result, error.out());
    if (accepted) {
        TBOX_LOG(debug, "upgrade start successed\n");
    } else {
        TBOX_LOG(debug, "upgrade fail\n");
    }
    g_mutex_lock(&rv.lock);
    rv.started = accepted ? 1 : 0;
    copy_cut(rv.message, accepted ? (errLog.get() != nullptr ? errLog.get() : "") : error.message(), kMessageSize);
    rv.replied = true;
    g_cond_signal(&rv.cond);
    g_mutex_unlock(&rv.lock);
}

// 1 when the service's bound process is this one, 0 when not or the query failed, -1 before init.
int CheckBindedPid() {
    if (g_upgradeSke == nullptr) return -1;
    gint bindId = -1;
    if (!call(TBOX_REPORT_LOG(debug, "Error:CheckBindedPid fail!\n[%s]\n"), ky_update_call_get_bind_id_sync,
              g_upgradeSke, &bindId)) {
        return 0;
    }
    TBOX_LOG(debug, "%d:%d\n", bindId, static_cast<int>(getpid()));
    return bindId == getpid() ? 1 : 0;
}

bool refuse_before_init() {
    if (g_upgradeSke != nullptr) return false;
    TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
    return true;
}

// Waits for the reply of the StartUpgrade call behind `rv` until the deadline; copies its outcome.
int wait_for_reply(Rendezvous &rv, char *message) {
    const gint64 deadline = g_get_monotonic_time() + g_waits.startReplyUs;
    g_mutex_lock(&rv.lock);
    while (!rv.replied && g_cond_wait_until(&rv.cond, &rv.lock, deadline)) {
    }
    const int started = rv.replied ? rv.started : 0;
    copy_cut(message, rv.replied ? rv.message : "upgrade:Upgrade fail", kMessageSize);
    g_mutex_unlock(&rv.lock);
    return started;
}

// Queries GetUpgradeStatus once per interval until it answers 0 (success), another value than 1
// (failure) or the limit passes. A failed query counts as one "in progress" answer.
int poll_upgrade_status() {
    for (int count = 0;;) {
        gint status = -1;
        const bool answered = call(TBOX_REPORT_LOG(err, "GetUpgradeStatus error:%s\n"),
                                   ky_update_call_get_upgrade_status_sync, g_upgradeSke, &status);
        if (answered && status == 0) {
            TBOX_LOG(debug, "upgrade success:0 ");
            return 0;
        }
        if (answered && status != 1) {
            TBOX_LOG(err, "upgrade failue : %d", status);
            return -1;
        }
        if (answered) TBOX_LOG(debug, "upgrading :1");
        ++count;
        g_usleep(g_waits.pollIntervalUs);
        if (count > kPollLimit) {
            TBOX_LOG(err, "upgrade failue:has not successed after 180s");
            return -1;
        }
    }
}

}  // namespace

namespace tbox::upgrade {

bool task_client_ready() {
    return g_upgradeSke != nullptr;
}

void set_waits_for_tests(const Waits &waits) {
    g_waits = waits;
}

}  // namespace tbox::upgrade

int InitUpgradeClient(void) {
    if (g_upgradeSke != nullptr) {
        TBOX_LOG(debug, "BindUpgradeTask have inited\n");
        return 0;
    }
    g_upgradeSke = tbox::client::open_proxy(ky_update_proxy_new_for_bus_sync, "ky.update", "/ky/update",
                                            TBOX_REPORT_LOG(debug, "Error:new proxy for upgrade[%s]\n"));
    if (g_upgradeSke == nullptr) return -1;
    TBOX_LOG(debug, "%s:Start\n", "InitUpgradeClient");
    return 0;
}

int BindUpgradeTask(void) {
    if (refuse_before_init()) return -1;
    if (!call(TBOX_REPORT_LOG(debug, "BindUpgradeTask error:%s\n"), ky_update_call_bind_upgrade_sync, g_upgradeSke,
              static_cast<gint>(getpid()))) {
        return -1;
    }
    TBOX_LOG(debug, "BindUpgradeTask success\n");
    return 0;
}

int UnbindUpgradeTask(int resetMcu) {
    if (g_upgradeSke == nullptr || CheckBindedPid() != 1) return -1;
    if (!call(TBOX_REPORT_LOG(debug, "UnbindUpgradeTask error:%s\n"), ky_update_call_unbind_upgrade_sync, g_upgradeSke,
              static_cast<gboolean>(resetMcu != 0))) {
        return -1;
    }
    TBOX_LOG(debug, "UnbindUpgradeTask success\n");
    return 0;
}

int GetCanParserStatus(int32_t *status) {
    if (refuse_before_init() || status == nullptr) return -1;
    gint value = 0;
    if (!call(TBOX_REPORT_LOG(debug, "GetCanParserStatus error:%s\n"), ky_update_call_get_can_parser_status_sync,
              g_upgradeSke, &value)) {
        return -1;
    }
    *status = value;
    TBOX_LOG(debug, "GetCanParserStatus success\n");
    return 0;
}

int RegisterStatueChangedCb(UpgradeStateChangedCb callback) {
    if (callback == nullptr) return -1;
    g_changedCb = callback;
    return 0;
}

int StartUpgradePkg(const char *path, uint8_t uflag, char *message) {
    if (refuse_before_init() || path == nullptr || message == nullptr) return -1;
    if (!tbox::client::is_utf8(path)) {
        TBOX_LOG(err, "upgrade failue : package path is not UTF-8\n");
        copy_cut(message, "upgrade:package path is not UTF-8", kMessageSize);
        return -1;
    }
    const auto rv = std::make_shared<Rendezvous>();
    SendStartUpgradeStateChange(1);
    ky_update_call_start_upgrade(g_upgradeSke, path, uflag, nullptr, UpgradeCallback, new RendezvousRef(rv));
    const int started = wait_for_reply(*rv, message);
    SendStartUpgradeStateChange(0);
    if (started == 0) {
        TBOX_LOG(err, "upgrade failue : server not return ");
        return -1;
    }
    return poll_upgrade_status();
}

// --- Download, digest check and restore ------------------------------------------------------------
namespace {

std::mutex g_caMutex;
std::string g_caFile;  // empty: the system's CA store

constexpr long kConnectTimeoutSeconds = 10;
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

// Runs the transfer of `url` into `fd`. Returns libcurl's code, CURLE_HTTP_RETURNED_ERROR for a final
// response outside 200-299.
CURLcode transfer(const char *url, int fd, int64_t &stored) {
    static const CURLcode kGlobalInit = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (kGlobalInit != CURLE_OK) return kGlobalInit;
    const tbox::Owned<CURL, curl_easy_cleanup> curl(curl_easy_init());
    if (!curl) return CURLE_FAILED_INIT;
    std::string caFile;
    {
        const std::lock_guard<std::mutex> lock(g_caMutex);
        caFile = g_caFile;
    }
    BodySink sink{curl.get(), fd};
    stored = 0;
    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, g_waits.stallSeconds);
    curl_easy_setopt(c, CURLOPT_URL, url);
    restrict_protocols(c);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
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

// The directory part of `path` ("." when it has none).
std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void sync_directory(const std::string &dir) {
    const tbox::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) (void)::fsync(fd.get());
}

// Copies `from` into a temporary file beside `to`, flushes it, renames it over `to`, removes `from`.
bool copy_across(const char *from, const char *to) {
    const tbox::UniqueFd in(::open(from, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0) return false;
    std::string temp = std::string(to) + ".XXXXXX";
    tbox::UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out) return false;
    std::vector<char> buffer(kCopyChunk);
    bool ok = ::fchmod(out.get(), st.st_mode & 07777) == 0;
    for (ssize_t got = 1; ok && got > 0;) {
        got = tbox::io::read_full(in.get(), buffer.data(), buffer.size());
        ok = got >= 0 && tbox::io::write_full(out.get(), buffer.data(), static_cast<size_t>(got)) == got;
    }
    ok = ok && ::fsync(out.get()) == 0 && ::close(out.release()) == 0 && ::rename(temp.c_str(), to) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    return ::unlink(from) == 0;
}

bool move_file(const char *from, const char *to) {
    if (::rename(from, to) != 0 && (errno != EXDEV || !copy_across(from, to))) return false;
    sync_directory(directory_of(to));
    if (directory_of(from) != directory_of(to)) sync_directory(directory_of(from));
    return true;
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

bool is_hex_digest(const char *text, size_t digits) {
    return strnlen(text, digits + 1) == digits &&
           std::all_of(text, text + digits, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// Whether the file's digest equals `expected`; logs the two texts when the digest could be computed.
bool digest_matches(const DigestCheck &check, const char *path, const char *expected) {
    if (!is_hex_digest(expected, check.hexDigits)) return false;
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
    if (::close(fd.release()) != 0 && code == CURLE_OK) code = CURLE_WRITE_ERROR;
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
