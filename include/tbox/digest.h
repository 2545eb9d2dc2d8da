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
 * (`md` must hold at least 33 bytes). Digests the bytes read from the file up to its end: a file that
 * grows or shrinks meanwhile gives the digest of what was really read. Only regular files are digested
 * (files under /proc count, by their contents); a device, a FIFO, a socket or a directory gives NULL
 * (a FIFO without blocking). Returns `md`, or NULL when `md` is NULL, the path names no file, the file is
 * not a regular file, or it cannot be opened or a read fails (`md` is then left unchanged).
 */
TBOX_API char *FileMD5(const char *path, char *md);

/* As FileMD5 for SHA-256: 64 digits and a NUL, so `md` must hold at least 65 bytes. */
TBOX_API char *FileSHA256(const char *path, char *md);

TBOX_END_DECLS

#endif
