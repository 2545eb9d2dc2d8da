/**
 * @file digest.h
 * @brief File digests: MD5 and SHA-256 of a whole file as upper-case hexadecimal text.
 *
 * The file is streamed through the digest in 256 KiB chunks, so memory use does not depend on the file
 * size. Each function logs the outcome to syslog (debug level; warn for a path that names no file, a
 * file that is not regular and read failures). Thread-safe; each call blocks for as long as reading
 * and hashing the file takes.
 */
#ifndef TBOX_DIGEST_H
#define TBOX_DIGEST_H

#include <tbox/export.h>

TBOX_BEGIN_DECLS

/**
 * @brief Writes the MD5 digest of the file at `path` into `md`.
 *
 * Digests the bytes read from the file up to its end: a file that grows or shrinks meanwhile gives the
 * digest of what was really read. Only regular files are digested (files under /proc count, by their
 * contents); a device, a FIFO, a socket or a directory gives NULL (a FIFO without blocking).
 * @param path the file.
 * @param md receives 32 upper-case hexadecimal digits and a NUL: at least 33 bytes, owned by the caller.
 * @return `md`; NULL when `md` is NULL, `path` is NULL or names no file, the file is not a regular
 *         file, or it cannot be opened or a read fails (`md` is then left unchanged).
 */
TBOX_API char *FileMD5(const char *path, char *md);

/**
 * @brief As FileMD5, for SHA-256.
 * @param path the file.
 * @param md receives 64 upper-case hexadecimal digits and a NUL: at least 65 bytes.
 * @return `md`, or NULL as FileMD5.
 */
TBOX_API char *FileSHA256(const char *path, char *md);

TBOX_END_DECLS

#endif
