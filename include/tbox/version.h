/**
 * @file version.h
 * @brief Version records: the box's software version as an eleven-digit text, parsed into four
 *        numbers, read from and written to the version files, and the check whether a package's target
 *        version is an upgrade.
 *
 * Version text (format: page docs/formats/version_file.md): digits at fixed places, no separators:
 * characters 0-2 projectId, 3-4 major, 5-7 sub1, 8-10 sub2, e.g. "00101002003" = 1, 1, 2, 3.
 *
 * Files (fixed; a desktop build may move "/oemdata" with the CMake cache variable TBOX_DATA_ROOT):
 *  - "/oemdata/upgrade/version.txt": the box's current version, eleven characters, no newline;
 *  - "/oemdata/upgrade/upgradepkg/version.txt": the version that came with the downloaded package.
 *
 * Only the first line of a version file counts; a missing, empty or unreadable file reads as 0, 0, 0, 0.
 *
 * No state of its own and no D-Bus traffic; CheckUpgradeVersion only refuses to run before
 * InitUpgradeClient (tbox/upgrade.h) has succeeded. Every call blocks only for a small file read or write
 * and may run on any thread.
 */
#ifndef TBOX_VERSION_H
#define TBOX_VERSION_H

#include <stdint.h>

#include <tbox/export.h>

TBOX_BEGIN_DECLS

/** Bytes the status buffer of CheckUpgradeVersion needs: its longest text (28 characters) and the NUL. */
#define TBOX_VERSION_STATUS_SIZE 29
/** Bytes the buffer of GetTBoxAppVersionStr needs: a first line of up to 255 characters and the NUL. */
#define TBOX_VERSION_TEXT_SIZE 256

/** Upgrade flag of CheckUpgradeVersion: the target's sub1 is newer. */
#define TBOX_UPGRADE_SUB1 0x01
/** Upgrade flag of CheckUpgradeVersion: the target's sub2 is newer (both bits also for a newer major). */
#define TBOX_UPGRADE_SUB2 0x02

/** @brief A version as four numbers. */
typedef struct VersionRecord {
    int32_t projectId; /**< characters 0-2 */
    int32_t major;     /**< characters 3-4 */
    int32_t sub1;      /**< characters 5-7 */
    int32_t sub2;      /**< characters 8-10 */
} VersionRecord;

/**
 * @brief Parses `text` into `record` (all four fields cleared first).
 *
 * Each field converts like atoi over its slice (leading blanks, a sign, digits up to the first other
 * character, 0 when none: "0a1" gives 0). A text shorter than its mode reads is never read past its
 * NUL: missing characters are absent digits ("00101" in mode 3 gives 1, 1, 0, 0). Characters after the
 * last field are ignored.
 * @param record receives the numbers.
 * @param text the version text.
 * @param mode 3 reads eleven characters (projectId, major, sub1, sub2); 1 reads eight and puts
 *        characters 5-7 into sub1; 0 and 2 read eight and put characters 5-7 into sub2.
 * @retval 0 parsed.
 * @retval -1 `record` or `text` is NULL or `mode` is above 3, after printing the line
 *         "ConvertStringToVersion param invalid!" on standard output (the record is then untouched).
 */
TBOX_API int ConvertStringToVersion(VersionRecord *record, const char *text, uint8_t mode);

/**
 * @brief ConvertStringToVersion in mode 3.
 * @param record receives the numbers.
 * @param text the version text.
 * @return as ConvertStringToVersion.
 */
TBOX_API int ConvertStringToVersion_v3(VersionRecord *record, const char *text);

/**
 * @brief Reads the box's version from the first line of "/oemdata/upgrade/version.txt" (first 63
 *        characters kept) and parses it in mode 3.
 * @param record receives the numbers; a missing or empty file gives 0, 0, 0, 0.
 * @retval 0 done, also for a missing or empty file.
 * @retval -1 `record` is NULL.
 */
TBOX_API int GetTBoxAppVersion(VersionRecord *record);

/**
 * @brief The same as GetTBoxAppVersion: it reads the same file, "/oemdata/upgrade/version.txt".
 * @param record receives the numbers.
 * @return as GetTBoxAppVersion.
 */
TBOX_API int GetUpgradePkgVersion(VersionRecord *record);

/**
 * @brief As GetTBoxAppVersion, on "/oemdata/upgrade/upgradepkg/version.txt".
 * @param record receives the numbers.
 * @return as GetTBoxAppVersion.
 */
TBOX_API int GetWebTgzAppVersion(VersionRecord *record);

/**
 * @brief Copies the first line of "/oemdata/upgrade/version.txt" (at most 255 characters, its newline
 *        if any included) and a NUL into `text`; nothing more is written.
 * @param text receives the line: TBOX_VERSION_TEXT_SIZE (256) bytes.
 * @retval 0 copied.
 * @retval -1 `text` is NULL, the file cannot be opened (buffer untouched) or nothing can be read from it
 *         (a warn line is logged).
 */
TBOX_API int GetTBoxAppVersionStr(char *text);

/**
 * @brief Records the box's version in "/oemdata/upgrade/version.txt" as exactly eleven characters
 *        ("%03d%02d%03d%03d", no newline).
 *
 * The file is replaced atomically (a temporary file in the same directory, flushed to disk, renamed
 * over the old one, the directory flushed), so a crash leaves the old or the new version, never an
 * empty or partial one. A new file gets mode 0644; an existing one keeps its mode. Outcomes are logged
 * only (err lines "Open [<path>] error[<reason>]", "Update tbox Version failed",
 * "Update tbox Version failed:out of range[<p>-<m>-<s1>-<s2>]"); nothing is returned.
 * @param projectId 0 to 999.
 * @param major 0 to 99.
 * @param sub1 0 to 999.
 * @param sub2 0 to 999; a number out of its range leaves the file unchanged.
 */
TBOX_API void UpdateTboxAppVersion(int32_t projectId, int32_t major, int32_t sub1, int32_t sub2);

/**
 * @brief Decides whether `target` is an upgrade for the box's current version, read as
 *        GetTBoxAppVersion does.
 *
 * Writes one status text and its NUL into `status`:
 *  - "upgrade:new version is NULL!": target NULL;
 *  - "upgrade:Version Format Error": target does not begin with eleven decimal digits;
 *  - "upgrade:Project ID Error": projectId differs;
 *  - "upgrade:Check Version OK": major newer (flags 3), or same major with sub1 and/or sub2 newer and
 *    neither older (flags TBOX_UPGRADE_SUB1 and/or TBOX_UPGRADE_SUB2); the result is 0;
 *  - "upgrade:Same Version": major, sub1 and sub2 equal;
 *  - "upgrade:less then Version": major older, or sub1 or sub2 older (spelled so).
 * @param target an eleven-digit version text.
 * @param flags receives the upgrade flags; written only when the result is 0.
 * @param status receives the status: TBOX_VERSION_STATUS_SIZE (29) bytes.
 * @retval 0 an upgrade.
 * @retval -1 not an upgrade, as the status says; also, with nothing written, before InitUpgradeClient
 *         has succeeded or with `flags` or `status` NULL.
 */
TBOX_API int CheckUpgradeVersion(const char *target, uint8_t *flags, char *status);

TBOX_END_DECLS

#endif
