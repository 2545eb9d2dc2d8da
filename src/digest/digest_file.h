// The streaming file digest shared by FileMD5 (ky_md5.cpp) and FileSHA256 (ky_sha256.cpp).
#pragma once

#include <openssl/evp.h>

#include <cstdint>

namespace tbox::upgrade {

// Files are hashed in chunks of this size, so memory use does not grow with the file.
extern const long kDigestChunk;

// Result of digest_file: the step that failed (errno tells why).
enum DigestStep : int { kDigestOk, kDigestOpenFailed, kDigestNoMemory, kDigestReadFailed, kDigestHashFailed };

// Hashes the first `size` bytes of the file with `type` and writes the digest as upper-case hex into
// `hex` (2 * digest size + 1 bytes), which is untouched on failure.
DigestStep digest_file(const char *path, int64_t size, const EVP_MD *type, char *hex);

}  // namespace tbox::upgrade
