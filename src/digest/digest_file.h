// The streaming file digest behind FileMD5 (ky_md5.cpp) and FileSHA256 (ky_sha256.cpp).
#pragma once

#include <openssl/evp.h>

#include "common/log.h"

namespace tbox::digest {

// What differs between the two digests: the algorithm and the name their log lines give it.
struct Kind {
    const EVP_MD *(*algorithm)();
    const char *name;  // "MD5", "SHA256"
};

// Hashes the whole file at `path` in fixed-size chunks and writes the digest as upper-case hex and a NUL
// into `md` (2 * digest size + 1 bytes). Returns md, or NULL (md untouched) when the file cannot be read.
// Its lines carry `site`, the exported function's, as if it had logged them itself.
char *file_digest(const char *path, char *md, const Kind &kind, log::Site site);

}  // namespace tbox::digest
