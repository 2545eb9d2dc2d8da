// What the upgrade module's two sources (upgrade_api.cpp, version.cpp) share, and the seams its tests use.
#pragma once

#include <cstdint>

#ifndef TBOX_DATA_ROOT
#define TBOX_DATA_ROOT "/oemdata"
#endif

namespace tbox::upgrade {

// The box's fixed files. Only a desktop build relocates the root (CMake cache variable TBOX_DATA_ROOT).
inline constexpr const char kVersionFile[] = TBOX_DATA_ROOT "/upgrade/version.txt";
inline constexpr const char kPackageVersionFile[] = TBOX_DATA_ROOT "/upgrade/upgradepkg/version.txt";
inline constexpr const char kOldPackage[] = TBOX_DATA_ROOT "/upgrade/old_upgrade.tgz";

// The one gate of the version check and the download, digest and restore steps: whether
// InitUpgradeClient has succeeded. Logs nothing.
bool task_client_ready();

// The waits of the upgrade road. The shipped values are the defaults; only tests change them.
struct Waits {
    int64_t startReplyUs = 300 * int64_t{1000000};  // StartUpgradePkg: wait for the StartUpgrade reply
    uint64_t pollIntervalUs = 1000000;              // StartUpgradePkg: sleep between status queries
    long stallSeconds = 60;                         // DownloadUpgradeFile: below 1 byte/s this long aborts
};
void set_waits_for_tests(const Waits &waits);

}  // namespace tbox::upgrade
