// What the upgrade module's sources (upgrade_api, upgrade_config, upgrade_download, upgrade_resume,
// upgrade_signature, version) share, and the seams its tests use.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef TBOX_DATA_ROOT
#define TBOX_DATA_ROOT "/oemdata"
#endif

namespace tbox::upgrade {

// Whether `text` is exactly `digits` hexadecimal digits, either case (an expected MD5 or SHA-256).
inline bool is_hex_digest(const char *text, size_t digits) {
    return strnlen(text, digits + 1) == digits &&
           std::all_of(text, text + digits, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// The box's fixed files. Only a desktop build relocates the root (CMake cache variable TBOX_DATA_ROOT).
inline constexpr const char kVersionFile[] = TBOX_DATA_ROOT "/upgrade/version.txt";
inline constexpr const char kPackageVersionFile[] = TBOX_DATA_ROOT "/upgrade/upgradepkg/version.txt";
inline constexpr const char kOldPackage[] = TBOX_DATA_ROOT "/upgrade/old_upgrade.tgz";

// The shipped waits and limits, as tbox/upgrade.h documents them.
inline constexpr int64_t kStartReplyWaitUs = 300 * int64_t{1000000};  // StartUpgradePkg: up to 300 s for the reply
inline constexpr uint64_t kPollIntervalUs = 1000000;                  // then a status query once a second
inline constexpr int kPollLimit = 180;              // "in progress" answers allowed before giving up (181 sleeps)
inline constexpr long kStallSeconds = 60;           // DownloadUpgradeFile: below 1 byte/s this long aborts
inline constexpr long kConnectTimeoutSeconds = 10;  // DownloadUpgradeFile: the connection is made within this

// The one gate of the version check and the download, digest and restore steps: whether
// InitUpgradeClient has succeeded. Logs nothing.
bool task_client_ready();

// The waits of the upgrade road. The shipped values are the defaults; only tests change them.
struct Waits {
    int64_t startReplyUs = kStartReplyWaitUs;   // StartUpgradePkg: wait for the StartUpgrade reply
    uint64_t pollIntervalUs = kPollIntervalUs;  // StartUpgradePkg: sleep between status queries
    long stallSeconds = kStallSeconds;          // DownloadUpgradeFile: below 1 byte/s this long aborts
};
void set_waits_for_tests(const Waits &waits);
// The waits in force: the shipped ones until a test sets others.
const Waits &waits();

}  // namespace tbox::upgrade
