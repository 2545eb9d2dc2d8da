// DownloadUpgradePkg: the download that survives a killed process or a power cut. The bytes received so
// far live in "<path>.part", described by "<path>.part.meta"; the whole object takes the name `path`
// only complete, verified and on disk. Its lines carry the upgrade road's name, as the other file steps.
#define TBOX_LOG_SOURCE "upgrade_api.cpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/durable_file.h"
#include "common/io.h"
#include "common/log.h"
#include "common/raii.h"
#include "common/text.h"
#include "tbox/upgrade.h"
#include "upgrade/upgrade_internal.h"
#include "upgrade/upgrade_resume.h"

namespace tbox::upgrade {

namespace {

constexpr char kSidecarMagic[] = "tbox-part 1\n";

// FNV-1a, 64 bits: catches a damaged sidecar; a sidecar is never written in place, so it is no defence
// against an attacker, only against a flipped bit.
uint64_t fnv1a(const char *data, size_t size) {
    uint64_t h = 14695981039346656037ULL;
    for (size_t i = 0; i < size; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 1099511628211ULL;
    }
    return h;
}

bool has_control(const std::string &text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Reads "<key> <value>\n" at `pos`; value without control characters.
bool take_line(const std::string &text, size_t &pos, const char *key, std::string &value) {
    const size_t keyLength = std::strlen(key);
    if (text.compare(pos, keyLength, key) != 0 || pos + keyLength >= text.size() || text[pos + keyLength] != ' ') {
        return false;
    }
    const size_t start = pos + keyLength + 1;
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    value = text.substr(start, end - start);
    pos = end + 1;
    return !has_control(value);
}

bool parse_decimal(const std::string &text, uint64_t &value) {
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

std::string format_sidecar(const PartSidecar &sidecar) {
    std::string text = kSidecarMagic;
    text += "url " + sidecar.url + "\n";
    text += "validator " + sidecar.validator + "\n";
    text += "count " + std::to_string(sidecar.count) + "\n";
    char check[32];
    std::snprintf(check, sizeof check, "check %016" PRIx64 "\n", fnv1a(text.data(), text.size()));
    return text + check;
}

std::optional<PartSidecar> parse_sidecar(const char *data, size_t size) {
    if (data == nullptr || size > kSidecarMaxBytes) return std::nullopt;
    const std::string text(data, size);
    const size_t magic = sizeof kSidecarMagic - 1;
    if (text.compare(0, magic, kSidecarMagic) != 0) return std::nullopt;
    size_t pos = magic;
    PartSidecar sidecar;
    std::string count, check;
    if (!take_line(text, pos, "url", sidecar.url) || sidecar.url.empty() ||
        !take_line(text, pos, "validator", sidecar.validator) || !take_line(text, pos, "count", count) ||
        !parse_decimal(count, sidecar.count)) {
        return std::nullopt;
    }
    const size_t body = pos;
    if (!take_line(text, pos, "check", check) || pos != text.size() || check.size() != 16) return std::nullopt;
    char expected[17];
    std::snprintf(expected, sizeof expected, "%016" PRIx64, fnv1a(text.data(), body));
    if (check != expected) return std::nullopt;
    return sidecar;
}

namespace {
ResumeWaits g_resumeWaits;
}  // namespace

void set_resume_waits_for_tests(const ResumeWaits &waits) {
    g_resumeWaits = waits;
}

}  // namespace tbox::upgrade

namespace {

using tbox::upgrade::PartSidecar;

constexpr uint32_t kDefaultAttempts = 5;
constexpr uint32_t kDefaultDeadlineSeconds = 600;
constexpr gint64 kProgressPeriodUs = gint64{250} * 1000;
constexpr size_t kRehashChunk = size_t{1} << 20;

void store_status(char *status, const char *text) {
    tbox::text::copy_cut(status, text, TBOX_DOWNLOAD_STATUS_SIZE);
}

struct Options {
    uint32_t attempts = kDefaultAttempts;
    uint32_t deadlineSeconds = kDefaultDeadlineSeconds;
    uint64_t maxRate = 0;
    const char *sha256 = nullptr;
    const char *md5 = nullptr;
    char *sha256Out = nullptr;
    char *md5Out = nullptr;
};

// Reads the members the caller's struct has; the rest keep their defaults. false for a size below the
// first member, or for members this library does not know that are not zero.
bool read_options(const TboxDownloadOptions *given, Options &out) {
    if (given == nullptr) return true;
    const size_t size = given->size;
    if (size < sizeof given->size) return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(given);
    if (size > sizeof(TboxDownloadOptions) &&
        !std::all_of(bytes + sizeof(TboxDownloadOptions), bytes + size, [](unsigned char b) { return b == 0; })) {
        return false;
    }
    TboxDownloadOptions o{};
    std::memcpy(&o, given, std::min(size, sizeof o));
#define TBOX_HAS(member) (offsetof(TboxDownloadOptions, member) + sizeof o.member <= size)
    if (TBOX_HAS(attempts) && o.attempts != 0) out.attempts = o.attempts;
    if (TBOX_HAS(deadlineSeconds) && o.deadlineSeconds != 0) out.deadlineSeconds = o.deadlineSeconds;
    if (TBOX_HAS(reserved) && o.reserved != 0) return false;
    if (TBOX_HAS(maxRateBytesPerSecond)) out.maxRate = o.maxRateBytesPerSecond;
    if (TBOX_HAS(sha256)) out.sha256 = o.sha256;
    if (TBOX_HAS(md5)) out.md5 = o.md5;
    if (TBOX_HAS(sha256Out)) out.sha256Out = o.sha256Out;
    if (TBOX_HAS(md5Out)) out.md5Out = o.md5Out;
#undef TBOX_HAS
    return true;
}

// SHA-256 and (when asked) MD5 of the bytes in the partial file, in order.
class Digests {
public:
    explicit Digests(bool withMd5) : withMd5_(withMd5) { reset(); }
    bool reset() {
        ok_ = sha_ && EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr) == 1;
        if (withMd5_) ok_ = ok_ && md5_ && EVP_DigestInit_ex(md5_.get(), EVP_md5(), nullptr) == 1;
        return ok_;
    }
    void update(const char *data, size_t n) {
        ok_ = ok_ && EVP_DigestUpdate(sha_.get(), data, n) == 1;
        if (withMd5_) ok_ = ok_ && EVP_DigestUpdate(md5_.get(), data, n) == 1;
    }
    // Lower-case hex of both (md5 "" when not asked). false when a digest failed.
    bool finish(std::string &sha, std::string &md5) {
        sha = hex(sha_.get());
        if (withMd5_) md5 = hex(md5_.get());
        return ok_ && !sha.empty() && (!withMd5_ || !md5.empty());
    }

private:
    static std::string hex(EVP_MD_CTX *ctx) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(ctx, md, &n) != 1) return "";
        std::string out;
        char two[3];
        for (unsigned int i = 0; i < n; ++i) {
            std::snprintf(two, sizeof two, "%02x", md[i]);
            out += two;
        }
        return out;
    }
    bool withMd5_;
    bool ok_ = false;
    tbox::Owned<EVP_MD_CTX, EVP_MD_CTX_free> sha_{EVP_MD_CTX_new()};
    tbox::Owned<EVP_MD_CTX, EVP_MD_CTX_free> md5_{EVP_MD_CTX_new()};
};

// How an attempt ended.
enum class Outcome {
    kComplete,   // the whole object is in the partial file
    kRestart,    // the server cannot continue our partial file (416, a range that does not start at ours)
    kTransient,  // worth another attempt after a pause
    kPermanent,  // another attempt gets the same answer
    kWriteFail,  // the partial file cannot take more (errno in writeErrno)
    kOverlong,   // the server sent more than it announced
};

// The state of one DownloadUpgradePkg call, shared by the attempts and libcurl's callbacks.
struct Download {
    std::string url;
    std::string part;
    std::string meta;
    int fd = -1;
    Digests digests;
    std::string validator;  // of the object in the partial file
    int64_t kept = 0;       // bytes in the partial file
    int64_t synced = 0;     // of which flushed and described in the sidecar
    int64_t end = -1;       // the object's size, when a response announced it
    gint64 lastReportUs = 0;
    // Per response:
    long code = 0;
    bool decided = false;
    bool overlong = false;
    bool restart = false;
    int writeErrno = 0;
    long retryAfter = -1;
    std::string etag, lastModified, contentRange;

    explicit Download(bool withMd5) : digests(withMd5) {}
};

// Writes the sidecar durably (a new file renamed over the old one, then the directory flushed), after
// the bytes it describes are on disk.
bool describe(Download &d) {
    if (::fsync(d.fd) != 0) return false;
    tbox::files::NewFile file(d.meta, tbox::files::TempNames::kSuffix);
    const std::string text = tbox::upgrade::format_sidecar({d.url, d.validator, static_cast<uint64_t>(d.kept)});
    if (!file.open() ||
        tbox::io::write_full(file.fd(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        !file.commit(0600)) {
        return false;
    }
    d.synced = d.kept;
    return true;
}

// Drops the partial file's contents: the next bytes start the object again.
bool start_over(Download &d) {
    d.kept = 0;
    d.synced = 0;
    d.validator.clear();
    d.end = -1;
    return ::ftruncate(d.fd, 0) == 0 && ::lseek(d.fd, 0, SEEK_SET) == 0 && d.digests.reset();
}

std::string trimmed(const char *data, size_t n) {
    std::string value(data, n);
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
}

// "bytes <start>-<last>/<total or *>": start and the end (last + 1), or false.
bool parse_content_range(const std::string &value, int64_t &start, int64_t &end) {
    long long first = 0, last = 0;
    int used = 0;
    if (std::sscanf(value.c_str(), "bytes %lld-%lld%n", &first, &last, &used) != 2 || used <= 0 || first < 0 ||
        last < first) {
        return false;
    }
    start = first;
    end = last + 1;
    return true;
}

// Decides, once the headers of a 2xx response are in, where its body goes.
void take_response(Download &d, CURL *curl) {
    d.decided = true;
    if (d.code == 206) {
        int64_t start = -1, end = -1;
        if (!parse_content_range(d.contentRange, start, end) || start != d.kept) {
            d.restart = true;  // never splice: a range that is not the continuation of ours is dropped
            return;
        }
        d.end = end;
    } else {
        // A whole object: the server ignored the range, or the object changed since the partial file began.
        if (d.kept > 0) {
            TBOX_LOG(info, "download restarts from 0 (HTTP %ld)\n", d.code);
            if (!start_over(d)) d.writeErrno = errno != 0 ? errno : EIO;
        }
        curl_off_t length = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        d.end = length >= 0 ? static_cast<int64_t>(length) : -1;
    }
    d.validator = !d.etag.empty() ? d.etag : d.lastModified;
}

struct Callbacks {
    Download *d;
    CURL *curl;
    uint64_t maxRate = 0;   // bytes per second, 0: none
    gint64 startUs = 0;     // when this attempt's first body bytes came
    uint64_t received = 0;  // body bytes of this attempt
};

// Holds the transfer back until this attempt's bytes are within the cap. libcurl's own cap reads what the
// socket holds in one go with a large receive buffer and overshoots by far, so the pace is kept here:
// while the body callback sleeps nothing is read, and the sender is held back by the socket's window.
void pace(Callbacks &cb, size_t n) {
    if (cb.maxRate == 0) return;
    const gint64 now = g_get_monotonic_time();
    if (cb.received == 0) cb.startUs = now;
    cb.received += n;
    const long double dueUs = static_cast<long double>(cb.received) * 1e6L / static_cast<long double>(cb.maxRate);
    const long double aheadUs = dueUs - static_cast<long double>(now - cb.startUs);
    if (aheadUs > 0) g_usleep(static_cast<gulong>(std::min<long double>(aheadUs, 10e6L)));
}

size_t on_header(char *data, size_t size, size_t count, void *user) {
    Download *d = static_cast<Callbacks *>(user)->d;
    CURL *curl = static_cast<Callbacks *>(user)->curl;
    const size_t n = size * count;
    const std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {  // a new response (after a 100 Continue, say)
        d->code = 0;
        d->etag.clear();
        d->lastModified.clear();
        d->contentRange.clear();
        d->retryAfter = -1;
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) d->code = std::strtol(line.c_str() + blank + 1, nullptr, 10);
        return n;
    }
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        const std::string name = line.substr(0, colon);
        const std::string value = trimmed(data + colon + 1, n - colon - 1);
        if (g_ascii_strcasecmp(name.c_str(), "ETag") == 0) d->etag = value;
        if (g_ascii_strcasecmp(name.c_str(), "Last-Modified") == 0) d->lastModified = value;
        if (g_ascii_strcasecmp(name.c_str(), "Content-Range") == 0) d->contentRange = value;
        if (g_ascii_strcasecmp(name.c_str(), "Retry-After") == 0 && !value.empty() &&
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            d->retryAfter = value.size() > 6 ? 999999 : std::strtol(value.c_str(), nullptr, 10);
        }
        return n;
    }
    if (trimmed(data, n).empty() && d->code >= 200 && d->code <= 299 && !d->decided) take_response(*d, curl);
    return n;
}

size_t on_body(char *data, size_t size, size_t count, void *user) {
    Callbacks &callbacks = *static_cast<Callbacks *>(user);
    Download &d = *callbacks.d;
    const size_t n = size * count;
    if (d.code < 200 || d.code > 299 || !d.decided || d.restart || d.writeErrno != 0) return 0;
    if (d.end >= 0 && d.kept + static_cast<int64_t>(n) > d.end) {
        d.overlong = true;
        return 0;
    }
    if (tbox::io::write_full(d.fd, data, n) != static_cast<ssize_t>(n)) {
        d.writeErrno = errno != 0 ? errno : ENOSPC;
        // What was cut off mid-write is not described: the sidecar keeps the last whole count.
        return 0;
    }
    d.digests.update(data, n);
    d.kept += static_cast<int64_t>(n);
    if (d.kept - d.synced >= tbox::upgrade::g_resumeWaits.flushEveryBytes && !describe(d)) {
        d.writeErrno = errno != 0 ? errno : EIO;
        return 0;
    }
    pace(callbacks, n);
    return n;
}

int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    Download &d = *static_cast<Callbacks *>(user)->d;
    const DownloadProgressCb callback = tbox::upgrade::progress_callback();
    if (callback == nullptr || d.kept == 0 || !d.decided) return 0;
    const gint64 now = g_get_monotonic_time();
    if (d.lastReportUs != 0 && now - d.lastReportUs < kProgressPeriodUs) return 0;
    d.lastReportUs = now;
    callback(d.kept, d.end);
    return 0;
}

bool transient_curl_error(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_PARTIAL_FILE:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            return false;
    }
}

// One transfer: the rest of the object after the partial file (If-Range guarded), or all of it.
Outcome attempt(Download &d, const Options &options, gint64 deadlineUs, CURLcode &failure) {
    failure = CURLE_OK;
    const tbox::Owned<CURL, curl_easy_cleanup> handle(curl_easy_init());
    if (!handle) {
        failure = CURLE_FAILED_INIT;
        return Outcome::kPermanent;
    }
    CURL *c = handle.get();
    tbox::upgrade::apply_common_options(c);
    Callbacks callbacks{&d, c, options.maxRate};
    d.code = 0;
    d.decided = d.overlong = d.restart = false;
    d.retryAfter = -1;
    tbox::Owned<curl_slist, curl_slist_free_all> headers;
    const bool ranged = d.kept > 0 && !d.validator.empty();
    if (d.kept > 0 && !ranged && !start_over(d)) {
        d.writeErrno = errno != 0 ? errno : EIO;
        return Outcome::kWriteFail;
    }
    if (ranged) {
        headers.reset(curl_slist_append(nullptr, ("If-Range: " + d.validator).c_str()));
        if (!headers) {
            failure = CURLE_OUT_OF_MEMORY;
            return Outcome::kPermanent;
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        // CURLOPT_RANGE rather than a resume offset: libcurl would fail a 200 answer, which we take as a restart.
        curl_easy_setopt(c, CURLOPT_RANGE, (std::to_string(d.kept) + "-").c_str());
    }
    curl_easy_setopt(c, CURLOPT_URL, d.url.c_str());
    const gint64 leftMs = std::max<gint64>(1, (deadlineUs - g_get_monotonic_time()) / 1000);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min<gint64>(leftMs, LONG_MAX)));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &callbacks);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &callbacks);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &callbacks);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    const CURLcode performed = curl_easy_perform(c);
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    if (d.writeErrno != 0) return Outcome::kWriteFail;
    if (d.overlong) return Outcome::kOverlong;
    if (d.restart || (code == 416 && ranged)) return Outcome::kRestart;
    failure = performed;
    if (code != 0 && (code < 200 || code > 299)) {
        failure = CURLE_HTTP_RETURNED_ERROR;
        return code >= 500 || code == 408 || code == 429 ? Outcome::kTransient : Outcome::kPermanent;
    }
    if (performed != CURLE_OK) return transient_curl_error(performed) ? Outcome::kTransient : Outcome::kPermanent;
    if (!d.decided) {
        // A 2xx response without a body: the headers' end was seen, or the object is empty.
        take_response(d, c);
        if (d.restart) return Outcome::kRestart;
    }
    if (d.end >= 0 && d.kept != d.end) {
        failure = CURLE_PARTIAL_FILE;
        return Outcome::kTransient;
    }
    return Outcome::kComplete;
}

// The pause before retry `retry` (1, 2, ...): exponential, capped, jittered into its upper half; at least
// the server's Retry-After.
gint64 backoff_us(uint32_t retry, long retryAfter) {
    const tbox::upgrade::ResumeWaits &waits = tbox::upgrade::g_resumeWaits;
    const uint64_t grown = uint64_t{waits.backoffBaseMs} << std::min<uint32_t>(retry - 1, 20);
    const uint64_t ceiling = std::min<uint64_t>(grown, waits.backoffCapMs);
    static thread_local std::minstd_rand random(std::random_device{}());
    const uint64_t jittered = ceiling / 2 + (ceiling > 1 ? random() % (ceiling - ceiling / 2 + 1) : ceiling);
    const gint64 pauseUs = static_cast<gint64>(jittered) * 1000;
    return retryAfter >= 0 ? std::max<gint64>(pauseUs, gint64{retryAfter} * 1000000) : pauseUs;
}

// Reads the sidecar beside the partial file: the validator and count it vouches for when it is whole
// and names `url`; otherwise nothing is trusted.
PartSidecar read_sidecar(const std::string &meta, const std::string &url) {
    const tbox::UniqueFd fd(::open(meta.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return {};
    std::vector<char> text(tbox::upgrade::kSidecarMaxBytes + 1);
    const ssize_t got = tbox::io::read_full(fd.get(), text.data(), text.size());
    if (got < 0) return {};
    const auto sidecar = tbox::upgrade::parse_sidecar(text.data(), static_cast<size_t>(got));
    if (!sidecar || sidecar->url != url) {
        TBOX_LOG(info, "partial download not trusted, starting from 0\n");
        return {};
    }
    return *sidecar;
}

// Hashes the kept prefix of the partial file and places the file's offset after it. false when it
// cannot be read whole.
bool rehash_prefix(Download &d) {
    if (::lseek(d.fd, 0, SEEK_SET) != 0) return false;
    std::vector<char> buffer(kRehashChunk);
    for (int64_t left = d.kept; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
        if (tbox::io::read_full(d.fd, buffer.data(), want) != static_cast<ssize_t>(want)) return false;
        d.digests.update(buffer.data(), want);
        left -= static_cast<int64_t>(want);
    }
    return true;
}

// Opens the partial file and takes over what the sidecar vouches for: min(its count, the file's size).
bool resume_part(Download &d, tbox::UniqueFd &fd) {
    fd.reset(::open(d.part.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd) return false;
    d.fd = fd.get();
    struct stat st {};
    if (::fstat(d.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const PartSidecar sidecar = read_sidecar(d.meta, d.url);
    d.validator = sidecar.validator;
    d.kept = std::min<int64_t>(static_cast<int64_t>(std::min<uint64_t>(sidecar.count, INT64_MAX)), st.st_size);
    if (d.validator.empty()) d.kept = 0;
    if (d.kept > 0 && !rehash_prefix(d)) d.kept = 0;
    if (d.kept == 0) return start_over(d);
    d.synced = d.kept;
    // Bytes past the vouched count may be anything a power cut left: they are dropped.
    return ::ftruncate(d.fd, d.kept) == 0 && ::lseek(d.fd, d.kept, SEEK_SET) == d.kept;
}

void store_perform_error(char *status, CURLcode code) {
    TBOX_LOG(err, "perform error:%s\n", curl_easy_strerror(code));
    char text[TBOX_DOWNLOAD_STATUS_SIZE];
    std::snprintf(text, sizeof text, "upgrade:perform error:%d-%s\n", static_cast<int>(code), curl_easy_strerror(code));
    store_status(status, text);
}

void store_write_error(char *status, int error) {
    TBOX_LOG(err, "write file fail:%s\n", std::strerror(error));
    char text[TBOX_DOWNLOAD_STATUS_SIZE];
    std::snprintf(text, sizeof text, "upgrade:write file fail:%s", std::strerror(error));
    store_status(status, text);
}

// Checks the complete partial file against the expected digests, then gives it the final name. On a
// mismatch the partial file and its description are removed (the same bytes would come again).
int finish(Download &d, const Options &options, const std::string &path, char *status) {
    std::string sha, md5;
    if (!d.digests.finish(sha, md5)) {
        store_write_error(status, EIO);
        return -1;
    }
    const bool shaBad = options.sha256 != nullptr && g_ascii_strcasecmp(sha.c_str(), options.sha256) != 0;
    const bool md5Bad = options.md5 != nullptr && g_ascii_strcasecmp(md5.c_str(), options.md5) != 0;
    if (shaBad || md5Bad) {
        TBOX_LOG(warn, "downloaded package digest mismatch, sha256:%s md5:%s\n", sha.c_str(), md5.c_str());
        ::unlink(d.part.c_str());
        ::unlink(d.meta.c_str());
        store_status(status, shaBad ? "upgrade:SHA256 error" : "upgrade:MD5 error");
        return -1;
    }
    const std::string dir = tbox::files::directory_of(path);
    if (::fsync(d.fd) != 0 || ::renameat(AT_FDCWD, d.part.c_str(), AT_FDCWD, path.c_str()) != 0 ||
        !tbox::files::sync_directory(dir)) {
        store_write_error(status, errno);
        return -1;
    }
    // A sidecar without its partial file vouches for nothing; removing it is tidiness, not safety.
    ::unlink(d.meta.c_str());
    if (options.sha256Out != nullptr) tbox::text::copy_cut(options.sha256Out, sha.c_str(), 65);
    if (options.md5Out != nullptr) tbox::text::copy_cut(options.md5Out, md5.c_str(), 33);
    if (const DownloadProgressCb callback = tbox::upgrade::progress_callback(); callback != nullptr) {
        callback(d.kept, d.kept);
    }
    store_status(status, "upgrade:download OK!");
    return 0;
}

}  // namespace

int DownloadUpgradePkg(const char *url, const char *path, const TboxDownloadOptions *options, char *status) {
    if (!tbox::upgrade::task_client_ready()) {
        TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
        return -1;
    }
    if (url == nullptr || path == nullptr || status == nullptr) {
        if (status != nullptr) store_status(status, "upgrade:download file fail, param error!");
        return -1;
    }
    Options opts;
    if (!read_options(options, opts)) {
        store_status(status, "upgrade:download options not supported");
        return -1;
    }
    if (opts.sha256 != nullptr && !tbox::upgrade::is_hex_digest(opts.sha256, 64)) {
        store_status(status, "upgrade:SHA256 fail, param error!");
        return -1;
    }
    if (opts.md5 != nullptr && !tbox::upgrade::is_hex_digest(opts.md5, 32)) {
        store_status(status, "upgrade:MD5 fail, param error!");
        return -1;
    }
    if (const CURLcode ready = tbox::upgrade::curl_ready(); ready != CURLE_OK) {
        store_perform_error(status, ready);
        return -1;
    }
    Download d(opts.md5 != nullptr || opts.md5Out != nullptr);
    d.url = url;
    d.part = std::string(path) + ".part";
    d.meta = d.part + ".meta";
    tbox::UniqueFd fd;
    if (!resume_part(d, fd)) {
        TBOX_LOG(debug, "[%s] open file fail\n", "DownloadUpgradePkg");
        store_status(status, "upgrade: open file fail!");
        return -1;
    }
    if (d.kept > 0) TBOX_LOG(info, "download resumes at %" PRId64 "\n", d.kept);
    const gint64 deadlineUs = g_get_monotonic_time() + gint64{opts.deadlineSeconds} * 1000000;
    CURLcode failure = CURLE_OK;
    Outcome outcome = Outcome::kTransient;
    for (uint32_t n = 1; n <= opts.attempts; ++n) {
        outcome = attempt(d, opts, deadlineUs, failure);
        if (outcome != Outcome::kComplete && outcome != Outcome::kWriteFail && d.kept != d.synced && !describe(d)) {
            d.writeErrno = errno != 0 ? errno : EIO;
            outcome = Outcome::kWriteFail;
        }
        if (outcome == Outcome::kRestart) {
            TBOX_LOG(info, "download restarts from 0 (HTTP %ld)\n", d.code);
            if (!start_over(d) || !describe(d)) {
                d.writeErrno = errno != 0 ? errno : EIO;
                outcome = Outcome::kWriteFail;
                break;
            }
            failure = CURLE_RANGE_ERROR;
            continue;
        }
        if (outcome != Outcome::kTransient || n == opts.attempts) break;
        const gint64 pauseUs = backoff_us(n, d.retryAfter);
        if (g_get_monotonic_time() + pauseUs >= deadlineUs) {
            TBOX_LOG(warn, "download deadline reached after %u attempts\n", n);
            store_status(status, "upgrade:download timeout");
            return -1;
        }
        TBOX_LOG(info, "download attempt %u failed (%d), retrying in %" PRId64 " ms\n", n, static_cast<int>(failure),
                 static_cast<int64_t>(pauseUs / 1000));
        g_usleep(static_cast<gulong>(pauseUs));
    }
    if (outcome == Outcome::kComplete) return finish(d, opts, path, status);
    if (d.kept == 0) {  // nothing worth keeping: no empty partial file is left behind
        ::unlink(d.part.c_str());
        ::unlink(d.meta.c_str());
    }
    switch (outcome) {
        case Outcome::kWriteFail:
            // Keep what is whole for a later call: drop a torn tail (freeing its space), describe the rest.
            if (::ftruncate(d.fd, d.kept) == 0 && d.kept != d.synced) describe(d);
            store_write_error(status, d.writeErrno);
            return -1;
        case Outcome::kOverlong:
            TBOX_LOG(err, "server sent more than announced\n");
            store_status(status, "upgrade:server sent more than announced");
            return -1;
        default:
            store_perform_error(status, failure);
            return -1;
    }
}
