// AES-256-ECB against the openssl tool.
#include <gtest/gtest.h>
#include <tbox/cipher.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// A stream that gives `good` bytes, then fails with EIO (a disk error in the middle of the file).
FILE *failing_after(size_t good) {
    static size_t left;
    left = good;
    cookie_io_functions_t io{};
    io.read = [](void *, char *buf, size_t size) -> ssize_t {
        if (left == 0) {
            errno = EIO;
            return -1;
        }
        const size_t n = std::min(size, left);
        std::memset(buf, 0x5A, n);
        left -= n;
        return static_cast<ssize_t>(n);
    };
    return fopencookie(nullptr, "r", io);
}

TEST(Aes256EcbTest, ReadAndWriteErrorsFailTheCallInsteadOfEndingTheData) {
    TempDir dir;
    const unsigned char key[32] = {7};
    put(dir / "plain", noise(200000, 3));
    // Encryption: decryption would fail on the truncated data's padding anyway.
    for (size_t good : {size_t{0}, size_t{100000}}) {
        File in(failing_after(good), std::fclose);
        File out(std::fopen((dir / "out").c_str(), "wb"), std::fclose);
        EXPECT_EQ(Aes256EcbEncrypt(key, in.get(), out.get()), -1) << "read error after " << good << " bytes";
    }
    EXPECT_EQ(aes(Aes256EcbEncrypt, key, dir / "plain", "/dev/full"), -1) << "write error";
}

}  // namespace
