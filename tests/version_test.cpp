// Version records: the parser, the version files at the box's own paths, and the version check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
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
        {"99999999999tail", 3, "999,99,999,999"},
        {"001010020039", 3, "1,1,2,3"},  // one digit too many: the twelfth is not read
        {"99999999999", 1, "999,99,999,0"},
        {"0000000000", 3, "0,0,0,0"},  // one digit short: the last field has two
        {"0010100200", 3, "1,1,2,0"},
        {"0a1 1-12 12", 3, "0,1,-12,12"},
        {"00101", 3, "1,1,0,0"},
        {"", 1, "0,0,0,0"},
    };
    for (const Row &row : rows) {
        // The text sits at the very end of its allocation, so a read past its NUL is caught by ASan.
        std::vector<char> exact(row.text, row.text + std::strlen(row.text) + 1);
        VersionRecord r{7, 7, 7, 7};
        EXPECT_EQ(ConvertStringToVersion(&r, exact.data(), row.mode), 0) << row.text;
        EXPECT_EQ(fields(r), row.record) << '"' << row.text << "\" mode " << int(row.mode);
    }
}

TEST(VersionParser, RefusesNullArgumentsAndUnknownModesWithItsLine) {
    VersionRecord r{7, 7, 7, 7};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConvertStringToVersion(&r, "00101002003", 4), -1);
    EXPECT_EQ(ConvertStringToVersion(&r, nullptr, 3), -1);
    EXPECT_EQ(ConvertStringToVersion(nullptr, "00101002003", 3), -1);
    std::string threeLines;
    for (int i = 0; i < 3; ++i) threeLines += "ConvertStringToVersion param invalid!\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), threeLines);
    EXPECT_EQ(fields(r), "7,7,7,7");
}

TEST(VersionCheck, RefusesBeforeTheUpgradeClientIsInitialised) {
    char status[TBOX_VERSION_STATUS_SIZE] = "untouched";
    uint8_t flags = 9;
    EXPECT_EQ(CheckUpgradeVersion("00101002004", &flags, status), -1);
    EXPECT_STREQ(status, "untouched");
    EXPECT_EQ(flags, 9);
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
    EXPECT_EQ(GetWebTgzAppVersion(&r), 0);
    EXPECT_EQ(fields(r), "1,2,3,4");
    EXPECT_EQ(GetTBoxAppVersionStr(text), 0);
    EXPECT_STREQ(text, "00101002003\n");

    // A first line far longer than any buffer: the readers keep its start and write nothing past their buffer.
    put(kVersionFile, "00103004005" + std::string(1000, '7') + "\n");
    std::vector<char> exact(TBOX_VERSION_TEXT_SIZE + 8, '#');
    EXPECT_EQ(GetTBoxAppVersionStr(exact.data()), 0);
    EXPECT_EQ(std::string(exact.data()), "00103004005" + std::string(244, '7'));
    EXPECT_EQ(std::string(exact.data() + TBOX_VERSION_TEXT_SIZE, 8), std::string(8, '#'));
}

TEST_F(VersionFiles, UpdateReplacesTheFileWithElevenCharactersOrLeavesItAlone) {
    take_sync_calls();
    UpdateTboxAppVersion(1, 1, 2, 3);
    EXPECT_EQ(get(kVersionFile), "00101002003");
    // Written without a name, on disk before it takes the final one, and the new entry on disk too.
    EXPECT_EQ(take_sync_calls(),
              (std::vector<std::string>{"create 600", "fsync new file", "rename /oemdata/upgrade/version.txt",
                                        "fsync dir /oemdata/upgrade"}));
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

    UpdateTboxAppVersion(0, 0, 0, 0);  // the lowest edge of every field
    EXPECT_EQ(get(kVersionFile), "00000000000");
    UpdateTboxAppVersion(999, 99, 999, 0);
    EXPECT_EQ(get(kVersionFile), "99999999000");
    // One digit too many in each field, and each field below zero.
    const int outside[][4] = {{1000, 1, 1, 1}, {1, 100, 1, 1}, {1, 1, 1000, 1}, {1, 1, 1, 1000},
                              {-1, 1, 1, 1},   {1, -1, 1, 1},  {1, 1, -1, 1},   {1, 1, 1, -1}};
    for (const auto &v : outside) {
        UpdateTboxAppVersion(v[0], v[1], v[2], v[3]);
        EXPECT_EQ(get(kVersionFile), "99999999000") << v[0] << " " << v[1] << " " << v[2] << " " << v[3];
    }
    // Nothing but the version file is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/oemdata/upgrade"), {}), 2);

    // A version write killed before its rename left a named temporary; the next write removes those of its
    // exact pattern (six letters or digits) that nobody touched for a minute, if they are this user's plain
    // files, and nothing else.
    const std::string dir = "/oemdata/upgrade/";
    const std::string stale[] = {"version.txt.Ab3dE9", "version.txt.000000"};
    const std::string kept[] = {"version.txt.Ab3dE", "version.txt.Ab3dE9x", "version.txt.Ab-dE9", "version.tx.Ab3dE9",
                                "version.txt.other1"};
    for (const std::string &name : stale) put(dir + name, "killed");
    for (const std::string &name : kept) put(dir + name, "kept");
    ASSERT_EQ(chown((dir + "version.txt.other1").c_str(), 4242, 4242), 0);  // another user's
    put(dir + "version.txt.fresh1", "written a moment ago");
    ASSERT_EQ(mkdir((dir + "version.txt.dir123").c_str(), 0755), 0);
    ASSERT_EQ(symlink(kVersionFile, (dir + "version.txt.link12").c_str()), 0);
    const timespec minuteAgo[2] = {{time(nullptr) - 61, 0}, {time(nullptr) - 61, 0}};
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename() == "version.txt.fresh1") continue;
        ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), minuteAgo, AT_SYMLINK_NOFOLLOW), 0) << entry.path();
    }
    UpdateTboxAppVersion(999, 99, 999, 999);
    EXPECT_EQ(get(kVersionFile), "99999999999");
    for (const std::string &name : stale) EXPECT_FALSE(std::filesystem::exists(dir + name)) << name;
    for (const std::string &name : kept) EXPECT_EQ(get(dir + name), "kept") << name;
    EXPECT_EQ(get(dir + "version.txt.fresh1"), "written a moment ago");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "version.txt.dir123"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "version.txt.link12"));

    // Where the file system has no unnamed files the temporary is named, but private until it is complete.
    g_sync.tmpfile_refused = true;
    take_sync_calls();
    UpdateTboxAppVersion(5, 5, 5, 5);
    g_sync.tmpfile_refused = false;
    EXPECT_EQ(get(kVersionFile), "00505005005");
    EXPECT_EQ(take_sync_calls(),
              (std::vector<std::string>{"create 600", "create 600", "fsync file", "rename /oemdata/upgrade/version.txt",
                                        "fsync dir /oemdata/upgrade"}));

    // A directory that cannot take the temporary file: the old version stays whole.
    ASSERT_EQ(mount("tmpfs", "/oemdata", "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    UpdateTboxAppVersion(2, 2, 2, 2);
    EXPECT_EQ(get(kVersionFile), "00505005005");
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
        {"00101002003", "00101002003", "upgrade:Same Version", -1},
        {"00101002003", "00101003001", "upgrade:less then Version", -1},
        {"00101002003", "00201002003", "upgrade:Project ID Error", -1},
        {"00101002003", "00101002004 and more", "upgrade:Check Version OK", 2},
        {"00101002003", "001010020049", "upgrade:Check Version OK", 2},  // one digit too many: not read
        {"001010020039", "00101002004", "upgrade:Check Version OK", 2},
        {"00101002003", "0010100200", "upgrade:Version Format Error", -1},  // one digit short
        {"99999999998", "99999999999", "upgrade:Check Version OK", 2},
        {"00000000000", "00000000001", "upgrade:Check Version OK", 2},
        {nullptr, "00100000001", "upgrade:Project ID Error", -1},
        {"00101002003", "00102", "upgrade:Version Format Error", -1},
        {"00101002003", "0010200000a", "upgrade:Version Format Error", -1},
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
