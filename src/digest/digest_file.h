// The streaming file digest behind FileMD5 (ky_md5.cpp) and FileSHA256 (ky_sha256.cpp).
#pragma once

#include <openssl/evp.h>

namespace tbox::digest {

// What differs between the two digests: the algorithm and the name their log lines give it.
struct Kind {
    const EVP_MD *(*algorithm)();
    const char *name;  // "MD5", "SHA256"
};

// Where log lines are reported from: the exported function's source base name and line.
struct Site {
    const char *source;
    int line;
};

// Hashes the whole file at `path` in fixed-size chunks and writes the digest as upper-case hex and a NUL
// into `md` (2 * digest size + 1 bytes). Returns md, or NULL (md untouched) when the file cannot be read.
char *file_digest(const char *path, char *md, const Kind &kind, Site site);

}  // namespace tbox::digest
