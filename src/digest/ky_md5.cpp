// MD5 of a file as upper-case hexadecimal text, and the streaming core shared with ky_sha256.cpp.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "tbox/convert.h"
#include "tbox/digest.h"
#include "digest/digest_file.h"

namespace tbox::upgrade {

const long kDigestChunk = 256L * 1024;

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
};

struct MdCtxFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

struct BufferFree {
    void operator()(unsigned char *p) const { std::free(p); }
};

// Reads exactly n bytes (fewer only at an error, with errno set).
bool read_full(int fd, unsigned char *dst, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = read(fd, dst + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = EIO;  // the file shrank since it was sized
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

// Hashes the first `size` bytes of the file with `type` and writes the digest as upper-case hex into
// `hex` (2 * digest size + 1 bytes), which is untouched on failure.
DigestStep digest_file(const char *path, int64_t size, const EVP_MD *type, char *hex) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kDigestOpenFailed;
    FdCloser closer{fd};
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<unsigned char, BufferFree> buf(static_cast<unsigned char *>(std::malloc(kDigestChunk)));
    if (buf == nullptr) return kDigestNoMemory;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), type, nullptr) != 1) return kDigestHashFailed;
    for (int64_t left = size; left > 0;) {
        const auto n = static_cast<size_t>(left < kDigestChunk ? left : kDigestChunk);
        if (!read_full(fd, buf.get(), n)) return kDigestReadFailed;
        if (EVP_DigestUpdate(ctx.get(), buf.get(), n) != 1) return kDigestHashFailed;
        left -= static_cast<int64_t>(n);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return kDigestHashFailed;
    HexToStr(reinterpret_cast<unsigned char *>(hex), digest, static_cast<int>(len));
    return kDigestOk;
}

}  // namespace tbox::upgrade

extern "C" char *FileMD5(const char *path, char *md) {
    using namespace tbox::upgrade;
    if (md == nullptr) {
        TBOX_LOG(debug, "MD5 The point md is NULL\n");
        return nullptr;
    }
    const int64_t size = GetFileSize(path);
    if (size == -1) return nullptr;
    switch (digest_file(path, size, EVP_md5(), md)) {
        case kDigestOk:
            TBOX_LOG(debug, "Get File[%s] MD5sum[%s]\n", path, md);
            return md;
        case kDigestOpenFailed:
            TBOX_LOG(debug, "MD5 open digest File[%s] error[%s]\n", path, std::strerror(errno));
            return nullptr;
        case kDigestNoMemory:
            TBOX_LOG(warn, "MD5 mallco Len{%ld] memory for file error[%s]\n", kDigestChunk, std::strerror(errno));
            return nullptr;
        case kDigestReadFailed:
            TBOX_LOG(warn, "MD5 Read File[%s] error[%s]\n", path, std::strerror(errno));
            return nullptr;
        default:
            TBOX_LOG(warn, "MD5 digest File[%s] error\n", path);
            return nullptr;
    }
}
