// Version records: the parser, the version files at the box's own paths, and the version check.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/upgrade_box.h"
#include "tbox/version.h"

namespace {
using namespace tbox::test;

std::string fields(const VersionRecord &r) {
    return std::to_string(r.projectId) + "," + std::to_string(r.major) + "," + std::to_string(r.sub1) + "," +
           std::to_string(r.sub2);
}

TEST(VersionParser, FillsTheFieldsItsModeNamesAndNeverReadsPastTheText) {
    struct Row {
        const char *text;
        uint8_t mode;
        const char *record;
    };
    const Row rows[] = {
        {"00101002003", 3, "1,1,2,3"},
        {"00101002", 1, "1,1,2,0"},
        {"00101002", 0, "1,1,0,2"},
        {"00101002", 2, "1,1,0,2"},
        {"00101002003\n", 3, "1,1,2,3"},
        {"99999999999tail", 3, "999,99,999,999"},
        {"0a1 1-12 12", 3, "0,1,-12,12"},
        {"00101", 3, "1,1,0,0"},
        {"0010100", 3, "1,1,0,0"},
        {"001010020", 3, "1,1,2,0"},
        {"0", 3, "0,0,0,0"},
        {"", 1, "0,0,0,0"},
    };
    for (const Row &row : rows) {
        // The text sits at the very end of its allocation, so a read past its NUL is caught by ASan.
        std::vector<char> exact(row.text, row.text + std::strlen(row.text) + 1);
        VersionRecord r{7, 7, 7, 7};
        EXPECT_EQ(ConvertStringToVersion(&r, exact.data(), row.mode), 0) << row.text;
        EXPECT_EQ(fields(r), row.record) << '"' << row.text << "\" mode " << int(row.mode);
    }
    VersionRecord v3{};
    EXPECT_EQ(ConvertStringToVersion_v3(&v3, "00201002003"), 0);
    EXPECT_EQ(fields(v3), "2,1,2,3");
}

TEST(VersionParser, RefusesNullArgumentsAndUnknownModesWithItsLine) {
    VersionRecord r{7, 7, 7, 7};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConvertStringToVersion(&r, "00101002003", 4), -1);
    EXPECT_EQ(ConvertStringToVersion(&r, nullptr, 3), -1);
    EXPECT_EQ(ConvertStringToVersion(nullptr, "00101002003", 3), -1);
    EXPECT_EQ(GetTBoxAppVersion(nullptr), -1);
    std::string expected;
    for (int i = 0; i < 4; ++i) expected += "ConvertStringToVersion param invalid!\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(fields(r), "7,7,7,7");
}

TEST(VersionCheck, RefusesBeforeTheUpgradeClientIsInitialised) {
    LogCapture log;
    char status[TBOX_VERSION_STATUS_SIZE] = "untouched";
    uint8_t flags = 9;
    EXPECT_EQ(CheckUpgradeVersion("00101002004", &flags, status), -1);
    EXPECT_STREQ(status, "untouched");
    EXPECT_EQ(flags, 9);
    EXPECT_TRUE(log.has("ERR:UpgradeTask have not init!\n"));
}

using VersionFiles = UpgradeBox;

TEST_F(VersionFiles, ReadersTakeTheFirstLineOfTheBoxsFilesAndMissingFilesReadAsZero) {
    VersionRecord r{7, 7, 7, 7};
    EXPECT_EQ(GetTBoxAppVersion(&r), 0);
    EXPECT_EQ(fields(r), "0,0,0,0");
    char text[TBOX_VERSION_TEXT_SIZE] = "untouched";
    EXPECT_EQ(GetTBoxAppVersionStr(text), -1);
    EXPECT_STREQ(text, "untouched");

    put(kVersionFile, "00101002003\nsecond line 00909009009\n");
    put(kPackageVersionFile, "00102003004");
    EXPECT_EQ(GetTBoxAppVersion(&r), 0);
    EXPECT_EQ(fields(r), "1,1,2,3");
    EXPECT_EQ(GetUpgradePkgVersion(&r), 0);  // the same file as GetTBoxAppVersion
    EXPECT_EQ(fields(r), "1,1,2,3");
    EXPECT_EQ(GetWebTgzAppVersion(&r), 0);
    EXPECT_EQ(fields(r), "1,2,3,4");
    EXPECT_EQ(GetTBoxAppVersionStr(text), 0);
    EXPECT_STREQ(text, "00101002003\n");

    // A first line far longer than any buffer: the readers keep its start and write nothing past their buffer.
    put(kVersionFile, "00103004005" + std::string(1000, '7') + "\n");
    EXPECT_EQ(GetTBoxAppVersion(&r), 0);
    EXPECT_EQ(fields(r), "1,3,4,5");
    std::vector<char> exact(TBOX_VERSION_TEXT_SIZE + 8, '#');
    EXPECT_EQ(GetTBoxAppVersionStr(exact.data()), 0);
    EXPECT_EQ(std::string(exact.data()), "00103004005" + std::string(244, '7'));
    EXPECT_EQ(std::string(exact.data() + TBOX_VERSION_TEXT_SIZE, 8), std::string(8, '#'));

    put(kVersionFile, "");
    LogCapture log;
    EXPECT_EQ(GetTBoxAppVersionStr(text), -1);
    EXPECT_TRUE(log.contains("Read Error From VersionFile["));
}

TEST_F(VersionFiles, UpdateReplacesTheFileWithElevenCharactersOrLeavesItAlone) {
    UpdateTboxAppVersion(1, 1, 2, 3);
    EXPECT_EQ(get(kVersionFile), "00101002003");
    struct stat st {};
    ASSERT_EQ(stat(kVersionFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    ASSERT_EQ(chmod(kVersionFile, 0600), 0);
    const ino_t before = st.st_ino;
    UpdateTboxAppVersion(999, 99, 999, 0);
    EXPECT_EQ(get(kVersionFile), "99999999000");
    ASSERT_EQ(stat(kVersionFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);  // an existing file keeps its mode
    EXPECT_NE(st.st_ino, before);          // a new file renamed into place, never rewritten in place

    const int outside[][4] = {{1000, 1, 1, 1}, {1, 100, 1, 1}, {1, 1, 1000, 1}, {1, 1, 1, 1000},
                              {-1, 1, 1, 1},   {1, -1, 1, 1},  {1, 1, -1, 1},   {1, 1, 1, -1}};
    for (const auto &v : outside) {
        LogCapture log;
        UpdateTboxAppVersion(v[0], v[1], v[2], v[3]);
        EXPECT_EQ(get(kVersionFile), "99999999000") << v[0] << " " << v[1] << " " << v[2] << " " << v[3];
        EXPECT_TRUE(log.contains("[err]") && log.contains("Update tbox Version failed"));
    }
    // Nothing but the version file is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/oemdata/upgrade"), {}), 2);

    // A directory that cannot take the temporary file: the old version stays whole.
    ASSERT_EQ(mount("tmpfs", "/oemdata", "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    LogCapture log;
    UpdateTboxAppVersion(2, 2, 2, 2);
    EXPECT_EQ(get(kVersionFile), "99999999000");
    EXPECT_TRUE(log.has("Open [/oemdata/upgrade/version.txt] error[Read-only file system]\n"));
}

TEST_F(VersionFiles, CheckComparesTheTargetWithTheBoxsVersion) {
    struct Row {
        const char *current;  // nullptr: no version file
        const char *target;
        const char *status;
        int flags;  // -1: not written
    };
    const Row rows[] = {
        {"00101002003", "00101003003", "upgrade:Check Version OK", 1},
        {"00101002003", "00101002004", "upgrade:Check Version OK", 2},
        {"00101002003", "00101003004", "upgrade:Check Version OK", 3},
        {"00101002003", "00102000000", "upgrade:Check Version OK", 3},
        {"00101002003", "00101002003", "upgrade:Same Version", -1},
        {"00101002003", "00101003001", "upgrade:less then Version", -1},
        {"00101002003", "00100009009", "upgrade:less then Version", -1},
        {"00101002003", "00201002003", "upgrade:Project ID Error", -1},
        {"00101002003", "00101002004 and more", "upgrade:Check Version OK", 2},
        {nullptr, "00000000001", "upgrade:Check Version OK", 2},
        {nullptr, "00001000000", "upgrade:Check Version OK", 3},
        {nullptr, "00100000001", "upgrade:Project ID Error", -1},
        {"00101002003", "00102", "upgrade:Version Format Error", -1},
        {"00101002003", "0010200000a", "upgrade:Version Format Error", -1},
        {"00101002003", " 0102000000", "upgrade:Version Format Error", -1},
        {"00101002003", "-0102000000", "upgrade:Version Format Error", -1},
        {"00101002003", "", "upgrade:Version Format Error", -1},
        {"00101002003", nullptr, "upgrade:new version is NULL!", -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.current ? row.current : "(none)") + " -> " + (row.target ? row.target : "NULL"));
        if (row.current != nullptr) {
            put(kVersionFile, row.current);
        } else {
            std::remove(kVersionFile);
        }
        std::vector<char> status(TBOX_VERSION_STATUS_SIZE + 4, '#');
        uint8_t flags = 0xEE;
        EXPECT_EQ(CheckUpgradeVersion(row.target, &flags, status.data()), row.flags >= 0 ? 0 : -1);
        EXPECT_STREQ(status.data(), row.status);
        EXPECT_EQ(std::string(status.data() + TBOX_VERSION_STATUS_SIZE, 4), "####");
        EXPECT_EQ(flags, row.flags >= 0 ? row.flags : 0xEE);
    }
}

}  // namespace
