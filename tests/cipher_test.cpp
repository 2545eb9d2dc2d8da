// AES-256-ECB against the openssl tool.
#include <gtest/gtest.h>
#include <tbox/cipher.h>

#include <cstdio>
#include <memory>

#include "support/files.h"

namespace {
using namespace tbox::test;

using File = std::unique_ptr<FILE, int (*)(FILE *)>;
int aes(decltype(&Aes256EcbEncrypt) fn, const unsigned char *key, const std::string &from, const std::string &to) {
    return fn(key, File(std::fopen(from.c_str(), "rb"), std::fclose).get(),
              File(std::fopen(to.c_str(), "wb"), std::fclose).get());
}

TEST(Aes256EcbTest, EqualsOpensslAndDecryptsBack) {
    TempDir dir;
    const unsigned char key[33] = "an AES-256 key of 32 bytes, 256b";
    const std::string hex = "616e204145532d323536206b6579206f662033322062797465732c2032353662";
    for (size_t size : {0, 15, 16, 1023, 1024, 1040, 100001}) {  // around the block and the 1 KiB read
        SCOPED_TRACE(size);
        put(dir / "plain", noise(size, 11));
        ASSERT_EQ(aes(Aes256EcbEncrypt, key, dir / "plain", dir / "ours"), 0);
        run("openssl enc -aes-256-ecb -K " + hex + " -in " + dir / "plain" + " -out " + dir / "peer");
        EXPECT_TRUE(get(dir / "ours") == get(dir / "peer"));
        ASSERT_EQ(aes(Aes256EcbDecrypt, key, dir / "peer", dir / "back"), 0);
        EXPECT_TRUE(get(dir / "back") == get(dir / "plain"));
    }
    const unsigned char other[32] = {1};
    EXPECT_EQ(aes(Aes256EcbDecrypt, other, dir / "peer", dir / "back"), -1);
}

}  // namespace
