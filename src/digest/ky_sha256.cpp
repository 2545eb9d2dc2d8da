// SHA-256 of a file as upper-case hexadecimal text.
#include "common/log.h"
#include "digest/digest_file.h"
#include "tbox/digest.h"

extern "C" char *FileSHA256(const char *path, char *md) {
    using namespace tbox::digest;
    return file_digest(path, md, Kind{EVP_sha256, "SHA256"}, TBOX_LOG_SITE);
}
