// FileMD5 and FileSHA256 against coreutils' md5sum and sha256sum, and their failure reports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "common/log.h"
#include "support/log_capture.h"
#include "tbox/digest.h"

namespace {

using tbox::test::LogCapture;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/digest_test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_pseudo_random(const std::string &path, size_t n) {
    std::string data(n, '\0');
    uint32_t seed = static_cast<uint32_t>(n);
    for (auto &c : data) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// The digest coreutils prints for the file, in upper case.
std::string coreutils(const std::string &tool, const std::string &path) {
    FILE *p = popen((tool + " '" + path + "'").c_str(), "r");
    char line[256] = {};
    const bool ok = std::fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    std::string digest = ok ? std::string(line, std::strcspn(line, " ")) : "";
    std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return std::toupper(c); });
    return digest;
}

// Chunk-boundary sizes around the 256 KiB read size, and several MiB.
const size_t kSizes[] = {0, 1, 3, 64, 262143, 262144, 262145, 5 * 1024 * 1024 + 123};

TEST(FileDigestTest, DigestsEqualCoreutils) {
    TempDir dir;
    for (size_t size : kSizes) {
        SCOPED_TRACE(size);
        const std::string path = dir.file("data" + std::to_string(size));
        write_pseudo_random(path, size);
        LogCapture log;

        char md5[33];
        ASSERT_EQ(FileMD5(path.c_str(), md5), md5);
        EXPECT_EQ(std::string(md5), coreutils("md5sum", path));
        EXPECT_TRUE(log.has("Get File[" + path + "] MD5sum[" + md5 + "]\n"));

        char sha[65];
        ASSERT_EQ(FileSHA256(path.c_str(), sha), sha);
        EXPECT_EQ(std::string(sha), coreutils("sha256sum", path));
        EXPECT_TRUE(log.has("Get File[" + path + "] SHA256sum[" + sha + "]\n"));

        ASSERT_EQ(log.size(), 2u);
        for (const auto &line : log.lines()) EXPECT_EQ(line.priority, tbox::log::kDebug);
    }
    char md5[33];
    ASSERT_NE(FileMD5(dir.file("data0").c_str(), md5), nullptr);
    EXPECT_STREQ(md5, "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(FileDigestTest, FailuresReturnNullLogTheCauseAndLeaveTheDestination) {
    TempDir dir;
    LogCapture log;
    EXPECT_EQ(FileMD5("/etc/hostname", nullptr), nullptr);
    EXPECT_EQ(FileSHA256("/etc/hostname", nullptr), nullptr);
    EXPECT_TRUE(log.has("MD5 The point md is NULL\n"));
    EXPECT_TRUE(log.has("SHA256 The point md is NULL\n"));

    char md[65] = "untouched";
    const std::string missing = dir.file("missing");
    EXPECT_EQ(FileMD5(missing.c_str(), md), nullptr);
    EXPECT_EQ(FileSHA256(missing.c_str(), md), nullptr);
    EXPECT_STREQ(md, "untouched");
    const auto size_error = "Get file[" + missing + "] size error[No such file or directory]\n";
    const auto messages = log.messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), size_error), 2);

    // A directory can be sized and opened, but not read.
    const std::string subdir = dir.file("subdir");
    mkdir(subdir.c_str(), 0755);
    EXPECT_EQ(FileMD5(subdir.c_str(), md), nullptr);
    EXPECT_EQ(FileSHA256(subdir.c_str(), md), nullptr);
    EXPECT_STREQ(md, "untouched");
    EXPECT_TRUE(log.has("MD5 Read File[" + subdir + "] error[Is a directory]\n"));
    EXPECT_TRUE(log.has("SHA256 Read File[" + subdir + "] error[Is a directory]\n"));

    EXPECT_EQ(FileMD5(nullptr, md), nullptr);
    EXPECT_TRUE(log.has("Get file[(null)] size error[Bad address]\n"));
}

}  // namespace
