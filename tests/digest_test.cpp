// FileMD5 and FileSHA256 against coreutils' md5sum and sha256sum, and their failure reports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/log.h"
#include "support/log_capture.h"
#include "support/temp_files.h"
#include "tbox/digest.h"

namespace {

using namespace tbox::test;

// The digest coreutils prints for the file, in upper case.
std::string coreutils(const std::string &tool, const std::string &path) {
    FILE *p = popen((tool + " '" + path + "'").c_str(), "r");
    char line[256] = {};
    std::string digest = std::fgets(line, sizeof line, p) != nullptr ? std::string(line, std::strcspn(line, " ")) : "";
    pclose(p);
    std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return std::toupper(c); });
    return digest;
}

const struct Digest {
    const char *name;  // as the log lines name it
    char *(*fn)(const char *, char *);
    const char *tool;
} kDigests[] = {{"MD5", FileMD5, "md5sum"}, {"SHA256", FileSHA256, "sha256sum"}};

TEST(FileDigestTest, DigestsEqualCoreutils) {
    TempDir dir;
    // Chunk-boundary sizes around the 256 KiB read size, and several MiB.
    for (size_t size : {0, 1, 64, 262143, 262144, 262145, 5 * 1024 * 1024 + 123}) {
        const std::string path = dir.file("data");
        write_file(path, pseudo_random(size, static_cast<uint32_t>(size)));
        for (const auto &d : kDigests) {
            SCOPED_TRACE(std::string(d.name) + " of " + std::to_string(size) + " bytes");
            LogCapture log;
            char md[65];
            ASSERT_EQ(d.fn(path.c_str(), md), md);
            EXPECT_EQ(md, coreutils(d.tool, path));
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log.lines()[0].priority, tbox::log::kDebug);
            EXPECT_TRUE(log.has("Get File[" + path + "] " + d.name + "sum[" + md + "]\n"));
        }
    }
}

TEST(FileDigestTest, FailuresReturnNullLogTheCauseAndLeaveTheDestination) {
    TempDir dir;
    const std::string missing = dir.file("missing"), subdir = dir.file("subdir");
    mkdir(subdir.c_str(), 0755);
    for (const auto &d : kDigests) {
        SCOPED_TRACE(d.name);
        LogCapture log;
        char md[65] = "untouched";
        EXPECT_EQ(d.fn(subdir.c_str(), nullptr), nullptr);
        EXPECT_TRUE(log.has(std::string(d.name) + " The point md is NULL\n"));
        EXPECT_EQ(d.fn(missing.c_str(), md), nullptr);
        EXPECT_TRUE(log.has("Get file[" + missing + "] size error[No such file or directory]\n"));
        // A directory can be sized and opened, but not read.
        EXPECT_EQ(d.fn(subdir.c_str(), md), nullptr);
        EXPECT_TRUE(log.has(std::string(d.name) + " Read File[" + subdir + "] error[Is a directory]\n"));
        EXPECT_EQ(d.fn(nullptr, md), nullptr);
        EXPECT_TRUE(log.has("Get file[(null)] size error[Bad address]\n"));
        EXPECT_STREQ(md, "untouched");
        EXPECT_EQ(log.size(), 4u);
    }
}

}  // namespace
