/**
 * @file upgrade.h
 * @brief The upgrade road: the upgrade task client of the ky.update service (bind, start, unbind) and
 *        the file steps that run in the application before the package is handed over (download,
 *        digest check, signature check, restore).
 *
 * The steps in order:
 *  - InitUpgradeClient, BindUpgradeTask: own the upgrade;
 *  - CheckUpgradeVersion (tbox/version.h): is the package newer?
 *  - DownloadUpgradeFile or DownloadUpgradePkg: URL to local file;
 *  - CheckUpgradePkgMd5 / CheckUpgradePkgSha256: verify it;
 *  - CheckUpgradePkgSignature: prove who built it (a detached signature, a PEM public key);
 *  - RestoreUpgradePkg: patch "/oemdata/upgrade/old_upgrade.tgz", or move the package into place;
 *  - StartUpgradePkg: hand the complete package to the service, wait for the outcome;
 *  - UpdateTboxAppVersion (tbox/version.h), UnbindUpgradeTask.
 *
 * Each step writes one status text beginning "upgrade:" and its NUL into a buffer the caller supplies,
 * of the size given by the step's TBOX_*_SIZE constant; the library writes only the text and its NUL.
 * Every step returns 0 for success and -1 for failure. Before InitUpgradeClient has succeeded every
 * step returns -1 and leaves its buffer untouched (SetDownloadCaFile and RegisterDownloadProgressCb
 * need no initialisation).
 *
 * Threads: call InitUpgradeClient and RegisterStatueChangedCb from one thread before other threads use
 * the module. Downloads, digest and signature checks and restores keep no state of their own (the CA
 * bundle and the progress callback are process-wide settings) and may run on any thread. StartUpgradePkg
 * needs a running main context (see there); the other calls need none. Diagnostics go to syslog.
 */
#ifndef TBOX_UPGRADE_H
#define TBOX_UPGRADE_H

#include <stdint.h>

#include <tbox/export.h>
#include <tbox/version.h>

TBOX_BEGIN_DECLS

/** Status buffer size (bytes, NUL included) of CheckUpgradePkgMd5, CheckUpgradePkgSha256,
 *  CheckUpgradePkgSignature and RestoreUpgradePkg. */
#define TBOX_CHECK_STATUS_SIZE 41
/** Status buffer size of DownloadUpgradeFile and DownloadUpgradePkg: no status is longer than 255
 *  characters. */
#define TBOX_DOWNLOAD_STATUS_SIZE 256
/** Message buffer size of StartUpgradePkg: the service's text, cut to 256 characters. */
#define TBOX_START_MESSAGE_SIZE 257

/** Restore type of RestoreUpgradePkg: the fetched file is the whole package. */
#define TBOX_RESTORE_WHOLE 1
/** Restore type of RestoreUpgradePkg: the fetched file is a bsdiff patch against the old package. */
#define TBOX_RESTORE_DIFF 2

/** @brief Start-upgrade state callback: 1 when a start request is about to be sent, 0 when its wait has
 *  ended. Runs on the thread that calls StartUpgradePkg. */
typedef void (*UpgradeStateChangedCb)(int32_t state);

/**
 * @brief Opens the ky.update proxy (/ky/update) on the system bus.
 * @retval 0 success, also when already open (logs "BindUpgradeTask have inited").
 * @retval -1 the proxy cannot be created (a later call tries again).
 */
TBOX_API int InitUpgradeClient(void);

/**
 * @brief Makes this process the one that owns the upgrade (BindUpgrade with getpid()).
 *
 * Blocks for one D-Bus round trip.
 * @retval 0 bound.
 * @retval -1 not initialised, or the service refused (another process is bound) or the call failed.
 */
TBOX_API int BindUpgradeTask(void);

/**
 * @brief Releases the binding (UnbindUpgrade with `resetMcu`), only when the service reports this process
 *        as the bound one (GetBindId).
 * @param resetMcu passed to the service.
 * @retval 0 released.
 * @retval -1 not initialised, another process (or none) is bound (UnbindUpgrade is not sent), or a call
 *         failed.
 */
TBOX_API int UnbindUpgradeTask(int resetMcu);

/**
 * @brief Stores the service's CAN parser status in *status.
 * @param status receives the status.
 * @retval 0 success.
 * @retval -1 not initialised, `status` is NULL, or the call fails.
 */
TBOX_API int GetCanParserStatus(int32_t *status);

/**
 * @brief Stores the start-upgrade state callback, called on the thread that runs StartUpgradePkg.
 *
 * A later call replaces it. Needs no initialisation.
 * @param callback the callback.
 * @retval 0 stored.
 * @retval -1 `callback` is NULL (the stored callback stays).
 */
TBOX_API int RegisterStatueChangedCb(UpgradeStateChangedCb callback);

/**
 * @brief Hands the complete package at `path` to the upgrade service (StartUpgrade with `path` and
 *        `uflag`) and waits for the outcome.
 *
 * Blocks the calling thread:
 *  1. calls the state callback with 1, sends StartUpgrade and waits up to 300 s for its reply; then calls
 *     the state callback with 0 and copies the reply into `message`: the service's text when it accepted
 *     (cut to 256 characters), the D-Bus error text when it refused (GIO's default D-Bus time-out of
 *     25 s applies to the call), "upgrade:Upgrade fail" when no reply came;
 *  2. after an acceptance, asks GetUpgradeStatus once a second: 0 is success (returns 0), 1 is "in
 *     progress", another value is a failure (returns -1 at once). A failed query counts like "in
 *     progress". After 181 sleeps (about 3 minutes) without success it returns -1.
 *
 * The reply is handled in the main context that is the calling thread's thread-default context (the
 * global default context when the thread pushed none). Another thread must run that context (e.g. a
 * GMainLoop) while StartUpgradePkg waits, or the reply is only seen as "no reply" after 300 s.
 * One call at a time per process. A reply that arrives after the wait ended is dropped safely.
 * @param path the complete package, UTF-8.
 * @param uflag passed to the service.
 * @param message receives the reply text: TBOX_START_MESSAGE_SIZE bytes.
 * @retval 0 the service accepted the package and reported success.
 * @retval -1 refused, no reply, failed or not finished in time, as above; also without sending and
 *         without calling the state callback when not initialised, when `path` or `message` is NULL
 *         (message untouched), or when `path` is not UTF-8 (a D-Bus string cannot carry it; message
 *         "upgrade:package path is not UTF-8").
 */
TBOX_API int StartUpgradePkg(const char *path, uint8_t uflag, char *message);

/**
 * @brief Fetches `url` (http:// or https:// only) into the file `path` (created or truncated first, mode
 *        0666 less the umask).
 *
 * Blocks for the whole transfer: the connection must be made within 10 s; a transfer slower than
 * 1 byte/s for 60 s is aborted; there is no limit on the total time. HTTPS certificates and host names
 * are verified (against the system's CA store, or the bundle given to SetDownloadCaFile). Redirects are
 * not followed. Success is reported only once the file and its directory entry are flushed to disk (a
 * failed flush is the perform error 23). On failure the file is left with what had arrived. Safe on any
 * thread (no signals are used).
 *
 * Status (TBOX_DOWNLOAD_STATUS_SIZE bytes):
 *  - "upgrade:download OK!": 0, a 2xx response, its body stored whole;
 *  - "upgrade:download file fail, param error!": a NULL argument (stored when `status` is given);
 *  - "upgrade: open file fail!": `path` cannot be created;
 *  - "upgrade:perform error:<curl code>-<libcurl text>" and a line feed: the transfer failed;
 *    libcurl's code is 22 for a response outside 200-299 (the error body is not stored), 28 for a
 *    stalled transfer, 1 for a URL of another scheme, 60 for a certificate that does not verify, 7 when
 *    nobody listens.
 * @param url the http:// or https:// URL.
 * @param path the local file.
 * @param status receives the status.
 * @retval 0 downloaded.
 * @retval -1 failed, as the status says; not initialised (status untouched).
 */
TBOX_API int DownloadUpgradeFile(const char *url, const char *path, char *status);

/**
 * @brief Makes later downloads trust the CA certificates in the PEM bundle `caFile` only (the system
 *        bundle and CA directory no longer count).
 *
 * The path is kept; the file is read by each download. Any thread may call it.
 * @param caFile the PEM bundle.
 * @retval 0 stored.
 * @retval -1 NULL, or a file that cannot be read (the earlier setting stays).
 */
TBOX_API int SetDownloadCaFile(const char *caFile);

/** @brief Download progress: the body bytes stored so far and the total the server announced, -1 while
 *  unknown. */
typedef void (*DownloadProgressCb)(int64_t received, int64_t total);

/**
 * @brief Makes every later download (DownloadUpgradeFile, DownloadUpgradePkg), in any thread, report its
 *        progress to `callback`.
 *
 * The callback runs on the thread that runs the download, inside the transfer: at most once every
 * 250 ms while bytes of a 2xx body arrive, and once more when the body is complete (received == total).
 * A failed transfer gets no final report. Keep it short; it must not start a download.
 * @param callback the callback; NULL removes it (a transfer under way then stops reporting; a report
 *        already running finishes).
 */
TBOX_API void RegisterDownloadProgressCb(DownloadProgressCb callback);

/**
 * @brief Options of DownloadUpgradePkg.
 *
 * Set `size` to sizeof(TboxDownloadOptions) and every other member to 0 for its default (e.g.
 * TboxDownloadOptions o = {sizeof o};). Members may be added at the end only.
 */
typedef struct TboxDownloadOptions {
    uint32_t size;                  /**< sizeof the struct as the caller knows it */
    uint32_t attempts;              /**< transfers tried in all, 0: 5 */
    uint32_t deadlineSeconds;       /**< the whole call, back-off waits included, 0: 600 */
    uint32_t reserved;              /**< 0 */
    uint64_t maxRateBytesPerSecond; /**< receive-rate cap, 0: none */
    const char *sha256;             /**< expected SHA-256, 64 hexadecimal digits, or NULL */
    const char *md5;                /**< expected MD5, 32 hexadecimal digits, or NULL */
    char *sha256Out;                /**< NULL, or 65 bytes: the file's SHA-256 in lower case on success */
    char *md5Out;                   /**< NULL, or 33 bytes: the file's MD5 in lower case on success */
} TboxDownloadOptions;

/**
 * @brief Fetches `url` (http:// or https://) into `path` so that an interrupted download resumes.
 *
 * The bytes received so far are kept in "<path>.part", described by "<path>.part.meta" (the URL, the
 * server's validator - its ETag, else its Last-Modified - and the count of bytes on disk; page
 * docs/formats/part_sidecar.md). The next call for the same `path` and `url`, also after the process
 * was killed or the power cut, asks only for the rest (a range request guarded by If-Range) and starts
 * from the first byte when the object changed, when the server ignores the range or cannot serve it, or
 * when the description is damaged or names another URL. The part is flushed at least every 2 MiB; the
 * description never claims more than is on disk.
 *
 * Transient failures (no connection, a reset or stalled transfer, 408, 429, 5xx) are retried with
 * exponential back-off and jitter (Retry-After respected) within `attempts` and `deadlineSeconds`; other
 * failures end the call at once. SHA-256 (and MD5) are computed as the bytes arrive; once complete the
 * file is checked against the expected digests, flushed and only then renamed to `path`, so `path`
 * never holds a partial file.
 *
 * TLS, the connection time-out, the stall limit and the progress callback (reporting the bytes of the
 * whole object, resumed prefix included) are those of DownloadUpgradeFile. Blocks for the whole call.
 * One call per `path` at a time.
 *
 * Status (TBOX_DOWNLOAD_STATUS_SIZE bytes):
 *  - "upgrade:download OK!": 0, `path` holds the whole, verified object;
 *  - "upgrade:download file fail, param error!": a NULL `url`, `path` or `status`;
 *  - "upgrade:download options not supported": `options->size` below 4, or unknown members set;
 *  - "upgrade:SHA256 fail, param error!" / "upgrade:MD5 fail, param error!": a malformed expected digest;
 *  - "upgrade: open file fail!": the partial file cannot be created;
 *  - "upgrade:SHA256 error" / "upgrade:MD5 error": complete but different: the partial file is removed;
 *  - "upgrade:write file fail:<system error text>": e.g. a full disk: the partial file is kept;
 *  - "upgrade:server sent more than announced": the partial file is kept for a later call;
 *  - "upgrade:download timeout": the deadline passed between attempts;
 *  - "upgrade:perform error:<curl code>-<libcurl text>" and a line feed: the last attempt's failure, as
 *    DownloadUpgradeFile.
 * @param url the http:// or https:// URL.
 * @param path the final file.
 * @param options NULL for the defaults; a `size` larger than this library's struct is accepted only when
 *        the members it does not know are all zero.
 * @param status receives the status.
 * @retval 0 downloaded and verified.
 * @retval -1 failed, as the status says; not initialised (status untouched).
 */
TBOX_API int DownloadUpgradePkg(const char *url, const char *path, const TboxDownloadOptions *options, char *status);

/**
 * @brief Compares the file's MD5 with `md5`.
 *
 * Status (TBOX_CHECK_STATUS_SIZE bytes):
 *  - "upgrade:MD5 OK": 0, equal;
 *  - "upgrade:MD5 error": different, `md5` is not 32 hexadecimal digits, or the file cannot be read;
 *  - "upgrade:MD5 fail, param error!": a NULL argument (stored when `status` is given).
 * @param path the package.
 * @param md5 32 hexadecimal digits, either case.
 * @param status receives the status.
 * @retval 0 equal.
 * @retval -1 otherwise, as the status says; not initialised (status untouched).
 */
TBOX_API int CheckUpgradePkgMd5(const char *path, const char *md5, char *status);

/**
 * @brief As CheckUpgradePkgMd5 with SHA-256: "upgrade:SHA256 OK", "upgrade:SHA256 error",
 *        "upgrade:SHA256 fail, param error!".
 * @param path the package.
 * @param sha256 64 hexadecimal digits, either case.
 * @param status receives the status: TBOX_CHECK_STATUS_SIZE bytes.
 * @retval 0 equal.
 * @retval -1 otherwise.
 */
TBOX_API int CheckUpgradePkgSha256(const char *path, const char *sha256, char *status);

/**
 * @brief Verifies a detached signature over the package with the release key.
 *
 * The key is a PEM public key ("-----BEGIN PUBLIC KEY-----"): SHA-256 with ECDSA on P-256 (DER
 * signature) or RSA of 2048 bits or more (PKCS#1 v1.5), as `openssl dgst -sha256 -sign` makes it; the
 * key's type decides. The package is streamed (memory does not grow with it). Package, signature and
 * key must be regular files. OpenSSL's error queue is left as it was found. Keeps no state; may run on
 * any thread.
 *
 * Status (TBOX_CHECK_STATUS_SIZE bytes):
 *  - "upgrade:signature OK": 0, the signature is the key's over these bytes;
 *  - "upgrade:signature error": it is not (another key, changed bytes, a cut or empty signature);
 *  - "upgrade:signature key refused": no PEM public key, or another type or size (EC on another curve,
 *    RSA below 2048 bits, Ed25519, DSA...), or over 16 KiB;
 *  - "upgrade:signature too large": the signature file has more than 4096 bytes (not read);
 *  - "upgrade:signature unreadable": a file is missing, unreadable or not a regular file;
 *  - "upgrade:signature fail, param error!": a NULL argument (stored when `status` is given).
 * @param path the package.
 * @param signaturePath the detached signature.
 * @param publicKeyPemPath the PEM public key.
 * @param status receives the status.
 * @retval 0 the signature is good.
 * @retval -1 otherwise, as the status says; before InitUpgradeClient has succeeded, with the status
 *         untouched, as the other checks.
 */
TBOX_API int CheckUpgradePkgSignature(const char *path, const char *signaturePath, const char *publicKeyPemPath,
                                      char *status);

/**
 * @brief Turns the fetched file `fetched` into the complete package `complete`.
 *
 * By type, with the status (TBOX_CHECK_STATUS_SIZE bytes):
 *  - TBOX_RESTORE_DIFF (2): applies the bsdiff patch `fetched` to "/oemdata/upgrade/old_upgrade.tgz"
 *    (BSDiffPatchFile, tbox/patch.h): "upgrade:bsdiff patch success" (0), "upgrade:Not Found Old
 *    Package", "upgrade:bsdiff patch pkg error";
 *  - TBOX_RESTORE_WHOLE (1): moves `fetched` to `complete` without a shell (flushed to disk, then
 *    renamed; across file systems a copy, built as BSDiffPatchFile builds its new file but keeping the
 *    mode of `fetched`, then the source removed), then flushes the directories. Any path works, blanks
 *    and shell characters included. `fetched` must be a regular file: a device, a FIFO or a directory
 *    is refused (rename fail), as its copy might never end. "upgrade:whole pkg rename success" (0),
 *    "upgrade:whole pkg rename fail";
 *  - any other type: nothing is done; 0 and the status untouched.
 *
 * Blocks for the patch or the copy.
 * @param fetched the downloaded file.
 * @param complete where the complete package goes.
 * @param type TBOX_RESTORE_DIFF or TBOX_RESTORE_WHOLE.
 * @param status receives the status.
 * @retval 0 done (or an unknown type).
 * @retval -1 failed, as the status says; a NULL argument or not initialised, with nothing written.
 */
TBOX_API int RestoreUpgradePkg(const char *fetched, const char *complete, uint8_t type, char *status);

TBOX_END_DECLS

#endif
