// FileMD5 and FileSHA256 (and GetFileSize, for a file over 4 GiB) against coreutils.
#include <gtest/gtest.h>
#include <tbox/convert.h>
#include <tbox/digest.h>

#include <cstdint>
#include <cstdio>
#include <thread>

#include "support/files.h"

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
