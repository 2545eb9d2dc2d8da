// SHA-256 of a file as upper-case hexadecimal text. The streaming core lives in ky_md5.cpp.
#include <openssl/evp.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/log.h"
#include "tbox/convert.h"
#include "tbox/digest.h"
#include "digest/digest_file.h"

extern "C" char *FileSHA256(const char *path, char *md) {
    using namespace tbox::upgrade;
    if (md == nullptr) {
        TBOX_LOG(debug, "SHA256 The point md is NULL\n");
        return nullptr;
    }
    const int64_t size = GetFileSize(path);
    if (size == -1) return nullptr;
    switch (digest_file(path, size, EVP_sha256(), md)) {
        case kDigestOk:
            TBOX_LOG(debug, "Get File[%s] SHA256sum[%s]\n", path, md);
            return md;
        case kDigestOpenFailed:
            TBOX_LOG(debug, "SHA256 open digest File[%s] error[%s]\n", path, std::strerror(errno));
            return nullptr;
        case kDigestNoMemory:
            TBOX_LOG(warn, "SHA256 mallco Len{%ld] memory for file error[%s]\n", kDigestChunk, std::strerror(errno));
            return nullptr;
        case kDigestReadFailed:
            TBOX_LOG(warn, "SHA256 Read File[%s] error[%s]\n", path, std::strerror(errno));
            return nullptr;
        default:
            TBOX_LOG(warn, "SHA256 digest File[%s] error\n", path);
            return nullptr;
    }
}
