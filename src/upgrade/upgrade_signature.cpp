// The signature check of the upgrade road: a detached SHA-256 signature over the package, made with
// `openssl dgst -sha256 -sign`, verified with the release key. Its lines carry the module's file name.
#define TBOX_LOG_SOURCE "upgrade_api.cpp"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/io.h"
#include "common/log.h"
#include "common/raii.h"
#include "common/text.h"
#include "tbox/upgrade.h"
#include "upgrade/upgrade_internal.h"

namespace {

// The package is streamed in chunks of this size: memory does not grow with the package.
constexpr size_t kChunk = size_t{256} * 1024;
// A DER ECDSA P-256 signature is at most 72 bytes, an RSA-16384 one 2048; anything longer is not ours.
constexpr size_t kMaxSignature = 4096;
// A PEM public key of RSA-16384 is under 3 KiB.
constexpr size_t kMaxKey = 16384;
constexpr int kMinRsaBits = 2048;

constexpr char kOk[] = "upgrade:signature OK";
constexpr char kMismatch[] = "upgrade:signature error";
constexpr char kParamError[] = "upgrade:signature fail, param error!";
constexpr char kKeyRefused[] = "upgrade:signature key refused";
constexpr char kUnreadable[] = "upgrade:signature unreadable";
constexpr char kTooLarge[] = "upgrade:signature too large";

// Opens `path` for reading if it is a regular file (not blocking, so a FIFO is refused instead of
// waiting for a writer; a device may never end). Sets *size.
tbox::UniqueFd open_regular(const char *path, off_t *size) {
    tbox::UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return tbox::UniqueFd();
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return tbox::UniqueFd();
    }
    *size = st.st_size;
    return fd;
}

enum class Small { kWhole, kCannotRead, kOverCap };

// Reads the whole small file `path` into `out`, refusing one of more than `cap` bytes without reading it
// (also one that grows past `cap` while it is read).
Small read_small(const char *path, size_t cap, std::string &out) {
    off_t size = 0;
    const tbox::UniqueFd fd = open_regular(path, &size);
    if (!fd) return Small::kCannotRead;
    if (size > static_cast<off_t>(cap)) return Small::kOverCap;
    out.assign(cap + 1, '\0');
    const ssize_t got = tbox::io::read_full(fd.get(), out.data(), out.size());
    if (got < 0) return Small::kCannotRead;
    if (static_cast<size_t>(got) > cap) return Small::kOverCap;
    out.resize(static_cast<size_t>(got));
    return Small::kWhole;
}

using Key = tbox::Owned<EVP_PKEY, EVP_PKEY_free>;

// The release key from a PEM "PUBLIC KEY" text: ECDSA on P-256, or RSA of kMinRsaBits or more. Null for
// anything else, with the reason logged.
Key release_key(const std::string &pem) {
    const tbox::Owned<BIO, BIO_free> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Key key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        TBOX_LOG(warn, "signature key is no PEM public key\n");
        return nullptr;
    }
    const int type = EVP_PKEY_get_base_id(key.get());
    if (type == EVP_PKEY_RSA) {
        const int bits = EVP_PKEY_get_bits(key.get());
        if (bits >= kMinRsaBits) return key;
        TBOX_LOG(warn, "signature key RSA-%d, less than %d bits\n", bits, kMinRsaBits);
        return nullptr;
    }
    if (type == EVP_PKEY_EC) {
        char group[64] = {0};
        size_t len = 0;
        if (EVP_PKEY_get_group_name(key.get(), group, sizeof group, &len) == 1 &&
            std::strcmp(group, SN_X9_62_prime256v1) == 0) {
            return key;
        }
        TBOX_LOG(warn, "signature key EC on curve %s, not P-256\n", group[0] != '\0' ? group : "?");
        return nullptr;
    }
    TBOX_LOG(warn, "signature key type %s refused\n", OBJ_nid2sn(type));
    return nullptr;
}

// Whether `signature` is `key`'s SHA-256 signature of the regular file `path`, read in chunks.
const char *verify(const char *path, EVP_PKEY *key, const std::string &signature) {
    off_t size = 0;
    const tbox::UniqueFd fd = open_regular(path, &size);
    if (!fd) {
        TBOX_LOG(warn, "signature package %s unreadable[%s]\n", path, std::strerror(errno));
        return kUnreadable;
    }
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const tbox::Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX *pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) != 1) return kMismatch;
    // RSA: PKCS#1 v1.5, as `openssl dgst -sign` makes it (the default, said once so it never drifts).
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
        return kMismatch;
    }
    const tbox::Malloced<unsigned char> buf(static_cast<unsigned char *>(std::malloc(kChunk)));
    if (!buf) return kUnreadable;
    for (ssize_t got = kChunk; got == static_cast<ssize_t>(kChunk);) {
        got = tbox::io::read_full(fd.get(), buf.get(), kChunk);
        if (got < 0) {
            TBOX_LOG(warn, "signature package %s read fail[%s]\n", path, std::strerror(errno));
            return kUnreadable;
        }
        if (EVP_DigestVerifyUpdate(ctx.get(), buf.get(), static_cast<size_t>(got)) != 1) return kMismatch;
    }
    const auto *sig = reinterpret_cast<const unsigned char *>(signature.data());
    if (EVP_DigestVerifyFinal(ctx.get(), sig, signature.size()) != 1) return kMismatch;
    return kOk;
}

const char *check(const char *path, const char *signaturePath, const char *publicKeyPemPath) {
    std::string pem;
    switch (read_small(publicKeyPemPath, kMaxKey, pem)) {
        case Small::kWhole:
            break;
        case Small::kOverCap:
            TBOX_LOG(warn, "signature key %s larger than %zu bytes\n", publicKeyPemPath, kMaxKey);
            return kKeyRefused;
        case Small::kCannotRead:
            TBOX_LOG(warn, "signature key %s unreadable[%s]\n", publicKeyPemPath, std::strerror(errno));
            return kUnreadable;
    }
    const Key key = release_key(pem);
    if (!key) return kKeyRefused;
    std::string signature;
    switch (read_small(signaturePath, kMaxSignature, signature)) {
        case Small::kWhole:
            break;
        case Small::kOverCap:
            TBOX_LOG(warn, "signature %s larger than %zu bytes\n", signaturePath, kMaxSignature);
            return kTooLarge;
        case Small::kCannotRead:
            TBOX_LOG(warn, "signature %s unreadable[%s]\n", signaturePath, std::strerror(errno));
            return kUnreadable;
    }
    return verify(path, key.get(), signature);
}

}  // namespace

int CheckUpgradePkgSignature(const char *path, const char *signaturePath, const char *publicKeyPemPath, char *status) {
    if (!tbox::upgrade::task_client_ready()) {
        TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
        return -1;
    }
    if (path == nullptr || signaturePath == nullptr || publicKeyPemPath == nullptr || status == nullptr) {
        TBOX_LOG(debug, "upgrade:signature fail, param error!\n");
        if (status != nullptr) tbox::text::copy_cut(status, kParamError, TBOX_CHECK_STATUS_SIZE);
        return -1;
    }
    // What OpenSSL reports on our behalf leaves with us; the application's own errors stay queued.
    ERR_set_mark();
    const char *text = check(path, signaturePath, publicKeyPemPath);
    ERR_pop_to_mark();
    if (text == kOk) {
        TBOX_LOG(debug, "signature verify ok\n");
    } else if (text == kMismatch) {
        TBOX_LOG(warn, "signature verify fail\n");
    }
    tbox::text::copy_cut(status, text, TBOX_CHECK_STATUS_SIZE);
    return text == kOk ? 0 : -1;
}
