// FileMD5 and FileSHA256 (and GetFileSize, for a file over 4 GiB) against coreutils, and files that change
// or fail while they are read.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tbox/convert.h>
#include <tbox/digest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>

#include "support/files.h"
#include "support/log_capture.h"

namespace {
using namespace tbox::test;

TEST(FileDigestTest, EqualsCoreutilsAcrossTheReadChunk) {
    TempDir dir;
    const std::string data = dir / "data";
    for (size_t size : {0, 256 << 10, (256 << 10) + 1, (5 << 20) + 123}) {
        SCOPED_TRACE(size);
        put(data, noise(size, 5));
        run("(md5sum < " + data + "; sha256sum < " + data + ") | tr a-f A-F > " + dir / "sums");
        char md5[33], sha[65];
        ASSERT_EQ(FileMD5(data.c_str(), md5), md5);
        ASSERT_EQ(FileSHA256(data.c_str(), sha), sha);
        EXPECT_EQ(md5 + Bytes("  -\n") + sha + "  -\n", get(dir / "sums"));
    }
}

// Runs before each read the library makes (the test is linked with -Wl,--wrap=read), with the read's
// number from 1; returns -1 to fail that read with errno set, 0 to let it happen.
std::function<int(int)> g_beforeRead;
int g_reads = 0;
}  // namespace

extern "C" ssize_t __real_read(int fd, void *buf, size_t n);
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t n) {
    if (g_beforeRead && g_beforeRead(++g_reads) != 0) return -1;
    return __real_read(fd, buf, n);
}

namespace {

// md5sum and sha256sum of the file as it is now, upper case, as FileMD5 and FileSHA256 write them.
std::pair<Bytes, Bytes> coreutils_sums(const TempDir &dir, const std::string &path) {
    run("md5sum < " + path + " | cut -c1-32 | tr -d '\\n' | tr a-f A-F > " + dir / "md5; sha256sum < " + path +
        " | cut -c1-64 | tr -d '\\n' | tr a-f A-F > " + dir / "sha");
    return {get(dir / "md5"), get(dir / "sha")};
}

// A file that grows or shrinks while it is digested gives the digest of what was read up to its end; a read
// error gives no digest. Only regular files have one: a device may never end, a FIFO must not block the
// caller, a directory has no bytes. /proc files are regular, with a size of 0, and their contents count.
TEST(FileDigestTest, DigestsWhatIsReadToTheEndOfARegularFileAndRefusesTheRest) {
    TempDir dir;
    const std::string data = dir / "data";
    const size_t chunk = 256 << 10;
    struct Row {
        const char *what;
        std::function<void()> change;  // done before the second read; the first took a whole chunk
        bool digested;
    };
    const Row rows[] = {
        {"grows", [&] { run("head -c 100000 /dev/urandom >> " + data); }, true},
        {"shrinks to part of its second chunk", [&] { ASSERT_EQ(truncate(data.c_str(), chunk + 1000), 0); }, true},
        {"shrinks to its first chunk", [&] { ASSERT_EQ(truncate(data.c_str(), chunk), 0); }, true},
        {"fails its second read", [] { errno = EIO; }, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        for (auto digest : {FileMD5, FileSHA256}) {
            put(data, noise(3 * chunk, 9));
            char md[65] = "untouched";
            g_reads = 0;
            g_beforeRead = [&](int read) {
                if (read != 2) return 0;
                row.change();
                return row.digested ? 0 : -1;
            };
            LogCapture log;
            char *const got = digest(data.c_str(), md);
            g_beforeRead = nullptr;
            if (!row.digested) {
                EXPECT_EQ(got, nullptr);
                EXPECT_STREQ(md, "untouched");
                // The line names the exported function's file, not the shared body's.
                const bool md5 = digest == FileMD5;
                EXPECT_TRUE(log.has_from(
                    md5 ? "ky_md5.cpp" : "ky_sha256.cpp",
                    std::string(md5 ? "MD5" : "SHA256") + " Read File[" + data + "] error[Input/output error]\n"));
                continue;
            }
            const auto [md5, sha] = coreutils_sums(dir, data);
            EXPECT_EQ(got, md);
            EXPECT_EQ(md, digest == FileMD5 ? md5 : sha);
        }
    }

    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const std::string &path : {dir / "fifo", std::string("/dev/zero"), std::string("/dev/null"), dir.path,
                                    dir / "missing", dir / "fifo/below a FIFO"}) {
        char md[65] = "untouched";
        LogCapture log;
        EXPECT_EQ(FileMD5(path.c_str(), md), nullptr) << path;
        EXPECT_EQ(FileSHA256(path.c_str(), md), nullptr) << path;
        EXPECT_STREQ(md, "untouched") << path;
        EXPECT_FALSE(log.contains("sum[")) << path;
    }
    const std::string ostype = "/proc/sys/kernel/ostype";
    const auto [md5, sha] = coreutils_sums(dir, ostype);
    char md[65];
    EXPECT_EQ(FileMD5(ostype.c_str(), md), md);
    EXPECT_EQ(md, md5);
    EXPECT_EQ(FileSHA256(ostype.c_str(), md), md);
    EXPECT_EQ(md, sha);
}

// Past 2 GiB and 4 GiB a 32-bit offset or count would wrap; the file is mostly a hole, so it costs no disk.
TEST(FileDigestTest, FileOver4GiBHasItsSizeAndTheDigestsOfCoreutils) {
    TempDir dir;
    const std::string data = dir / "sparse";
    const int64_t size = (int64_t{4} << 30) + 12345;
    {
        FILE *f = std::fopen(data.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (int64_t at : {int64_t{0}, (int64_t{2} << 30) - 100, (int64_t{4} << 30) - 100, size - 1000}) {
            const Bytes bytes = noise(1000, static_cast<unsigned>(at % 997));
            ASSERT_EQ(fseeko(f, at, SEEK_SET), 0);
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        ASSERT_EQ(std::fclose(f), 0);
    }
    EXPECT_EQ(GetFileSize(data.c_str()), size);
    run("(md5sum < " + data + " & sha256sum < " + data + "; wait) | tr a-f A-F > " + dir / "sums");
    char md5[33], sha[65];
    std::thread sha_thread([&] { EXPECT_EQ(FileSHA256(data.c_str(), sha), sha); });
    EXPECT_EQ(FileMD5(data.c_str(), md5), md5);
    sha_thread.join();
    const Bytes sums = get(dir / "sums");
    EXPECT_NE(sums.find(md5 + Bytes("  -\n")), Bytes::npos) << sums;
    EXPECT_NE(sums.find(sha + Bytes("  -\n")), Bytes::npos) << sums;
}

}  // namespace
