// MD5 of a file as upper-case hexadecimal text.
#include "common/log.h"
#include "digest/digest_file.h"
#include "tbox/digest.h"

extern "C" char *FileMD5(const char *path, char *md) {
    using namespace tbox::digest;
    return file_digest(path, md, Kind{EVP_md5, "MD5"}, TBOX_LOG_SITE);
}
