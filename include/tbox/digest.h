/*
 * File digests: MD5 and SHA-256 of a whole file as upper-case hexadecimal text.
 *
 * The file is streamed through the digest in fixed-size chunks, so memory use does not depend on the
 * file size. Each function logs the outcome to syslog (debug level; warn for read failures).
 * Thread-safe; each call blocks for as long as reading and hashing the file takes.
 */
#ifndef TBOX_DIGEST_H
#define TBOX_DIGEST_H

#include <tbox/export.h>

TBOX_BEGIN_DECLS

/*
 * Writes the MD5 digest of the file at `path` into `md` as 32 upper-case hexadecimal digits and a NUL
 * (`md` must hold at least 33 bytes). Digests the bytes up to the size the file had when the call
 * started. Returns `md`, or NULL when `md` is NULL or the file cannot be sized, opened or read
 * (`md` is then left unchanged).
 */
TBOX_API char *FileMD5(const char *path, char *md);

/* As FileMD5 for SHA-256: 64 digits and a NUL, so `md` must hold at least 65 bytes. */
TBOX_API char *FileSHA256(const char *path, char *md);

TBOX_END_DECLS

#endif
