#include "tbox/version.h"

#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/durable_file.h"
#include "common/io.h"
#include "common/log.h"
#include "common/raii.h"
#include "common/text.h"
#include "upgrade/upgrade_internal.h"

namespace {

using tbox::upgrade::kPackageVersionFile;
using tbox::upgrade::kVersionFile;

constexpr size_t kLineBuffer = 256;    // first line of a version file: 255 characters and the NUL
constexpr size_t kRecordBuffer = 64;   // what the record readers keep of that line
constexpr size_t kVersionLength = 11;  // "%03d%02d%03d%03d"
constexpr mode_t kNewFileMode = 0644;

// Converts like atoi the characters [offset, offset + width) of a text of `length` characters; those
// past its end are absent.
int32_t slice_value(const char *text, size_t length, size_t offset, size_t width) {
    char slice[4] = {0};
    for (size_t i = 0; i < width && offset + i < length; ++i) slice[i] = text[offset + i];
    return std::atoi(slice);
}

// Copies the first line of `path` (up to 255 characters, newline included) into `dst` with its NUL,
// cut to `capacity - 1` characters. 0 when a line was read, -1 otherwise.
int get_version_from_file(const char *path, char *dst, size_t capacity) {
    tbox::UniqueFile file(std::fopen(path, "r"));
    if (!file) return -1;
    char line[kLineBuffer] = {0};
    if (std::fgets(line, sizeof line, file.get()) == nullptr) {
        TBOX_LOG(warn, "Read Error From VersionFile[%s]\n", std::strerror(errno));
        return -1;
    }
    TBOX_LOG(debug, "Read Version from File[%s]-[%s]\n", path, line);
    tbox::text::copy_cut(dst, line, capacity);
    return 0;
}

int read_record(const char *path, VersionRecord *record) {
    char line[kRecordBuffer] = {0};
    (void)get_version_from_file(path, line, sizeof line);  // a missing or empty file reads as 0, 0, 0, 0
    return ConvertStringToVersion_v3(record, line);
}

bool in_range(int32_t value, int32_t max) {
    return value >= 0 && value <= max;
}

// Writes `text` as the new contents of `path` (tbox::files::NewFile: flushed, renamed over `path`, the
// directory flushed); logs failures.
bool replace_file(const char *path, const char *text, size_t length) {
    struct stat old {};
    const mode_t mode = ::stat(path, &old) == 0 ? (old.st_mode & 07777) : kNewFileMode;
    tbox::files::NewFile file(path, tbox::files::TempNames::kSuffix);
    if (!file.open()) {
        TBOX_LOG(err, "Open [%s] error[%s]\n", path, std::strerror(errno));
        return false;
    }
    if (tbox::io::write_full(file.fd(), text, length) != static_cast<ssize_t>(length) || !file.commit(mode)) {
        TBOX_LOG(err, "Update tbox Version failed\n");
        return false;
    }
    return true;
}

}  // namespace

int ConvertStringToVersion(VersionRecord *record, const char *text, uint8_t mode) {
    if (record == nullptr || text == nullptr || mode > 3) {
        g_print("ConvertStringToVersion param invalid!\n");
        return -1;
    }
    const size_t length = strnlen(text, kVersionLength);
    *record = VersionRecord{};
    record->projectId = slice_value(text, length, 0, 3);
    record->major = slice_value(text, length, 3, 2);
    const int32_t third = slice_value(text, length, 5, 3);
    if (mode == 1 || mode == 3) {
        record->sub1 = third;
    } else {
        record->sub2 = third;
    }
    if (mode == 3) record->sub2 = slice_value(text, length, 8, 3);
    return 0;
}

int ConvertStringToVersion_v3(VersionRecord *record, const char *text) {
    return ConvertStringToVersion(record, text, 3);
}

int GetTBoxAppVersion(VersionRecord *record) {
    return read_record(kVersionFile, record);
}

int GetUpgradePkgVersion(VersionRecord *record) {
    return read_record(kVersionFile, record);
}

int GetWebTgzAppVersion(VersionRecord *record) {
    return read_record(kPackageVersionFile, record);
}

int GetTBoxAppVersionStr(char *text) {
    if (text == nullptr) return -1;
    return get_version_from_file(kVersionFile, text, TBOX_VERSION_TEXT_SIZE);
}

void UpdateTboxAppVersion(int32_t projectId, int32_t major, int32_t sub1, int32_t sub2) {
    if (!in_range(projectId, 999) || !in_range(major, 99) || !in_range(sub1, 999) || !in_range(sub2, 999)) {
        TBOX_LOG(err, "Update tbox Version failed:out of range[%d-%d-%d-%d]\n", projectId, major, sub1, sub2);
        return;
    }
    char text[kVersionLength + 1];
    std::snprintf(text, sizeof text, "%03d%02d%03d%03d", projectId, major, sub1, sub2);
    if (replace_file(kVersionFile, text, kVersionLength)) {
        TBOX_LOG(debug, "Update tbox Version success.New Version[%s]\n", text);
    }
}

int CheckUpgradeVersion(const char *target, uint8_t *flags, char *status) {
    if (!tbox::upgrade::task_client_ready()) {
        TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
        return -1;
    }
    if (flags == nullptr || status == nullptr) return -1;
    const char *text = nullptr;
    int result = -1;
    uint8_t newer = 0;
    if (target == nullptr) {
        text = "upgrade:new version is NULL!";
    } else if (strnlen(target, kVersionLength) < kVersionLength ||
               std::any_of(target, target + kVersionLength,
                           [](char c) { return !std::isdigit(static_cast<unsigned char>(c)); })) {
        text = "upgrade:Version Format Error";
    } else {
        VersionRecord cur{};
        VersionRecord tgt{};
        (void)GetTBoxAppVersion(&cur);
        (void)ConvertStringToVersion_v3(&tgt, target);
        TBOX_LOG(debug, "Tbox Cur Version[%d-%d-%d-%d]--OTA Pkg TargetVersion[%d-%d-%d-%d]\n", cur.projectId, cur.major,
                 cur.sub1, cur.sub2, tgt.projectId, tgt.major, tgt.sub1, tgt.sub2);
        if (tgt.projectId != cur.projectId) {
            TBOX_LOG(debug, "Project ID Error\n");
            text = "upgrade:Project ID Error";
        } else if (tgt.major > cur.major) {
            newer = TBOX_UPGRADE_SUB1 | TBOX_UPGRADE_SUB2;
        } else if (tgt.major == cur.major && tgt.sub1 == cur.sub1 && tgt.sub2 == cur.sub2) {
            TBOX_LOG(debug, "Tsp Pkg Version same as Tbox\n");
            text = "upgrade:Same Version";
        } else if (tgt.major < cur.major || tgt.sub1 < cur.sub1 || tgt.sub2 < cur.sub2) {
            TBOX_LOG(debug, "Tsp Pkg Version is less than Tbox\n");
            text = "upgrade:less then Version";
        } else {
            newer = (tgt.sub1 > cur.sub1 ? TBOX_UPGRADE_SUB1 : 0) | (tgt.sub2 > cur.sub2 ? TBOX_UPGRADE_SUB2 : 0);
        }
        if (newer != 0) {
            TBOX_LOG(debug, "Check Version success\n");
            text = "upgrade:Check Version OK";
            *flags = newer;
            result = 0;
        }
    }
    std::strcpy(status, text);  // every text fits TBOX_VERSION_STATUS_SIZE
    return result;
}
