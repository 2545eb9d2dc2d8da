// AES-256-ECB stream encryption against the openssl command-line tool.
#include <gtest/gtest.h>

#include <tbox/cipher.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "support/log_capture.h"

namespace {

const unsigned char kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
using Cipher = int (*)(const unsigned char *, FILE *, FILE *);

class AesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir_), nullptr); }
    void TearDown() override { std::system((std::string("rm -rf ") + dir_).c_str()); }

    std::string path(const char *name) const { return std::string(dir_) + "/" + name; }
    static void put(const std::string &p, const std::string &bytes) { std::ofstream(p, std::ios::binary) << bytes; }
    static std::string get(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static std::string random_bytes(size_t n) {
        std::mt19937 gen(static_cast<unsigned>(n));
        std::string s(n, '\0');
        for (auto &c : s) c = static_cast<char>(gen());
        return s;
    }
    // Runs `fn` from file `from` into file `to` with streams the test opens and closes, as a caller would.
    static int run(Cipher fn, const unsigned char *key, const std::string &from, const std::string &to) {
        FILE *in = std::fopen(from.c_str(), "rb"), *out = std::fopen(to.c_str(), "wb");
        const int rc = fn(key, in, out);
        std::fclose(in);
        std::fclose(out);
        return rc;
    }
    static int openssl(const char *mode, const std::string &from, const std::string &to) {
        std::string hex;
        for (unsigned char k : kKey) hex += "0123456789abcdef"[k >> 4], hex += "0123456789abcdef"[k & 15];
        return std::system(("openssl enc " + std::string(mode) + " -aes-256-ecb -K " + hex + " -in " + from + " -out " +
                            to + " 2>/dev/null")
                               .c_str());
    }

    char dir_[32] = "/tmp/aes_test.XXXXXX";
};

TEST_F(AesTest, MatchesOpensslBothWaysForAnySize) {
    for (size_t size : {0, 1, 15, 16, 17, 1023, 1024, 1025, 1040, 100001}) {
        SCOPED_TRACE(size);
        const std::string plain = random_bytes(size);
        put(path("plain"), plain);
        ASSERT_EQ(run(Aes256EcbEncrypt, kKey, path("plain"), path("ours.enc")), 0);
        ASSERT_EQ(openssl("-e", path("plain"), path("peer.enc")), 0);
        EXPECT_EQ(get(path("ours.enc")).size(), (size / 16 + 1) * 16);
        EXPECT_EQ(get(path("ours.enc")), get(path("peer.enc")));
        ASSERT_EQ(run(Aes256EcbDecrypt, kKey, path("peer.enc"), path("ours.dec")), 0);
        EXPECT_EQ(get(path("ours.dec")), plain);
    }
}

TEST_F(AesTest, UsesStreamsFromWhereTheCallerLeftThem) {
    const std::string plain = random_bytes(3000);
    put(path("plain"), "skip" + plain);
    put(path("tail"), plain);
    ASSERT_EQ(openssl("-e", path("tail"), path("peer.enc")), 0);
    FILE *in = std::fopen(path("plain").c_str(), "rb"), *out = std::fopen(path("ours.enc").c_str(), "wb");
    std::fseek(in, 4, SEEK_SET);
    std::fputs("head", out);
    ASSERT_EQ(Aes256EcbEncrypt(kKey, in, out), 0);
    EXPECT_EQ(std::fgetc(in), EOF);        // not rewound
    EXPECT_EQ(std::fputc('x', out), 'x');  // still open
    std::fclose(in);
    std::fclose(out);
    EXPECT_EQ(get(path("ours.enc")), "head" + get(path("peer.enc")) + "x");
}

TEST_F(AesTest, FailuresAreReportedNotPassedOffAsResults) {
    tbox::test::LogCapture log;
    const std::string plain = random_bytes(100);
    put(path("plain"), plain);
    ASSERT_EQ(run(Aes256EcbEncrypt, kKey, path("plain"), path("enc")), 0);
    const unsigned char other[32] = {1};
    EXPECT_EQ(run(Aes256EcbDecrypt, other, path("enc"), path("dec")), -1);
    EXPECT_TRUE(log.has("EVP_DecryptFinal_ex Failed\n"));
    // A partial last block: the whole blocks before it stay written.
    put(path("cut"), get(path("enc")).substr(0, 100));
    EXPECT_EQ(run(Aes256EcbDecrypt, kKey, path("cut"), path("dec")), -1);
    const std::string partial = get(path("dec"));
    EXPECT_EQ(partial.size() % 16, 0u);
    EXPECT_EQ(partial, plain.substr(0, partial.size()));

    // Reading a directory stream fails (EISDIR) instead of looking like the end of the input.
    EXPECT_EQ(run(Aes256EcbEncrypt, kKey, dir_, path("out")), -1);
    EXPECT_EQ(run(Aes256EcbDecrypt, kKey, dir_, path("out")), -1);
    EXPECT_TRUE(log.has("AES input read error[Is a directory]\n"));
    EXPECT_EQ(get(path("out")), "");
    FILE *in = std::fopen(path("plain").c_str(), "rb"), *full = std::fopen("/dev/full", "wb");
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(Aes256EcbEncrypt(kKey, in, full), -1);
    EXPECT_TRUE(log.has("AES output write error[No space left on device]\n"));

    testing::internal::CaptureStdout();
    EXPECT_EQ(Aes256EcbEncrypt(nullptr, in, full), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("EVP_EncryptInit_ex failed:", 0), 0u);
    EXPECT_EQ(Aes256EcbDecrypt(kKey, nullptr, full), -1);
    EXPECT_TRUE(log.has("EVP_DecryptInit_ex failed\n"));
    std::fclose(in);
    std::fclose(full);
}

}  // namespace
