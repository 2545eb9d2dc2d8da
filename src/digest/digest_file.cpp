#include "digest/digest_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/io.h"
#include "common/log.h"
#include "common/raii.h"
#include "tbox/convert.h"

namespace tbox::digest {
namespace {

// Files are hashed in chunks of this size, so memory use does not grow with the file.
constexpr long kChunk = 256L * 1024;

enum Step : int { kOk, kOpenFailed, kNotRegular, kNoMemory, kReadFailed, kHashFailed };

// Digests what the file yields until its end, whatever size it had when opened: a file that grows or
// shrinks meanwhile gives the digest of the bytes really read, never of a size it no longer has.
Step hash(const char *path, const EVP_MD *type, char *hex) {
    // Not blocking, so a FIFO is refused below instead of waiting for a writer.
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return kOpenFailed;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return kReadFailed;
    if (!S_ISREG(st.st_mode)) return kNotRegular;  // a device may never end, a pipe is consumed
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Malloced<unsigned char> buf(static_cast<unsigned char *>(std::malloc(kChunk)));
    if (buf == nullptr) return kNoMemory;
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
    if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), type, nullptr) != 1) return kHashFailed;
    for (ssize_t got = kChunk; got == kChunk;) {
        got = io::read_full(fd.get(), buf.get(), kChunk);
        if (got < 0) return kReadFailed;
        if (EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(got)) != 1) return kHashFailed;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return kHashFailed;
    HexToStr(reinterpret_cast<unsigned char *>(hex), digest, static_cast<int>(len));
    return kOk;
}

}  // namespace

char *file_digest(const char *path, char *md, const Kind &kind, log::Site site) {
    if (md == nullptr) {
        TBOX_LOG_AT_SITE(site, debug, "%s The point md is NULL\n", kind.name);
        return nullptr;
    }
    if (GetFileSize(path) == -1) return nullptr;  // logs why the path names no file
    switch (hash(path, kind.algorithm(), md)) {
        case kOk:
            TBOX_LOG_AT_SITE(site, debug, "Get File[%s] %ssum[%s]\n", path, kind.name, md);
            return md;
        case kOpenFailed:
            TBOX_LOG_AT_SITE(site, debug, "%s open digest File[%s] error[%s]\n", kind.name, path, std::strerror(errno));
            return nullptr;
        case kNotRegular:
            TBOX_LOG_AT_SITE(site, warn, "%s digest File[%s] error[not a regular file]\n", kind.name, path);
            return nullptr;
        case kNoMemory:
            TBOX_LOG_AT_SITE(site, warn, "%s mallco Len{%ld] memory for file error[%s]\n", kind.name, kChunk,
                             std::strerror(errno));
            return nullptr;
        case kReadFailed:
            TBOX_LOG_AT_SITE(site, warn, "%s Read File[%s] error[%s]\n", kind.name, path, std::strerror(errno));
            return nullptr;
        default:
            TBOX_LOG_AT_SITE(site, warn, "%s digest File[%s] error\n", kind.name, path);
            return nullptr;
    }
}

}  // namespace tbox::digest
