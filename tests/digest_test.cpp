// FileMD5 and FileSHA256 against coreutils.
#include <gtest/gtest.h>
#include <tbox/digest.h>

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

}  // namespace
