/**
 * @file patch.h
 * @brief Binary patch: rebuilds a file from an old file and a bsdiff 4.0 ("BSDIFF40") patch.
 *
 * The patch format is described on the page docs/formats/bsdiff40.md.
 */
#ifndef TBOX_PATCH_H
#define TBOX_PATCH_H

#include <tbox/export.h>

TBOX_BEGIN_DECLS

/**
 * @brief Applies the patch at `patchfile` to `oldfile` and stores the result at `newfile`.
 *
 * The new file is built beside `newfile` (unnamed, O_TMPFILE, where the file system has it, so a killed
 * process leaves nothing; else named ".bspatch-<pid>-<n>-<hex>"), created with mode 0600, and given mode
 * 0666 less the umask, flushed to disk and renamed over `newfile` only once it is complete; then the
 * directory is flushed. A failure never leaves a partial or damaged new file behind and an existing
 * `newfile` stays as it was. Named temporaries of that exact pattern in the directory that a killed run
 * left (this user's regular files, untouched for a minute) are removed. `newfile` may name the old file
 * or the patch file.
 *
 * On failure one diagnostic line goes to standard error in the form err(3)/errx(3) use
 * ("<program>: <message>", then ": <system error text>" for system errors, then a line feed); the
 * process is never ended. Messages:
 *  - "Corrupt patch": malformed, truncated or hostile patch: bad magic, short header, negative or
 *    oversized (2^31 and more) values, blocks past the end of the file, bzip2 errors, lengths past the
 *    new size, runs of empty control triples;
 *  - "fopen(<patch>)", "fread(<patch>)", "fseeko(<patch>, <offset>)", "fclose(<patch>)", each with the
 *    system error;
 *  - "BZ2_bzReadOpen, bz2err = <n>";
 *  - "<oldfile>" with the system error: the old file cannot be read;
 *  - "<newfile>" with the system error: the new file cannot be created, written or renamed;
 *  - no message, only the system error: out of memory;
 *  - "BSDiffPatchFile" with "Invalid argument": a NULL path.
 *
 * The new size and every value in the patch are limited to 2^31 - 1. Memory: the whole old file plus a
 * fixed amount (three bzip2 decompressors, read buffers and a 1 MiB output buffer; about 12 MiB),
 * whatever the size of the new file. Thread-safe for distinct files; blocks the caller for the whole
 * operation.
 * @param oldfile the file the patch was made against.
 * @param newfile where the result goes.
 * @param patchfile the bsdiff 4.0 patch.
 * @retval 0 success: `newfile` holds the whole result, flushed to disk.
 * @retval -1 failure, after the diagnostic line above; `newfile` is as it was.
 */
TBOX_API int BSDiffPatchFile(const char *oldfile, const char *newfile, const char *patchfile);

TBOX_END_DECLS

#endif
