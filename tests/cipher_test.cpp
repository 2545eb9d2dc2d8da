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

class AesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/aes_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    static void write_file(const std::string &p, const std::string &bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }
    static std::string read_file(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static std::string random_bytes(size_t n, unsigned seed) {
        std::mt19937 gen(seed);
        std::string s(n, '\0');
        for (auto &c : s) c = static_cast<char>(gen());
        return s;
    }

    // Runs `fn` from file `from` into file `to`, as a caller with its own streams would.
    static int run(int (*fn)(const unsigned char *, FILE *, FILE *), const unsigned char *key,
                   const std::string &from, const std::string &to) {
        FILE *in = std::fopen(from.c_str(), "rb");
        FILE *out = std::fopen(to.c_str(), "wb");
        const int rc = fn(key, in, out);
        std::fclose(in);
        std::fclose(out);
        return rc;
    }

    static int openssl(const std::string &mode, const std::string &from, const std::string &to) {
        static const std::string hex = [] {
            std::string h;
            char b[3];
            for (unsigned char k : kKey) std::snprintf(b, sizeof b, "%02x", k), h += b;
            return h;
        }();
        return std::system(("openssl enc " + mode + " -aes-256-ecb -K " + hex + " -in '" + from + "' -out '" +
                            to + "' 2>/dev/null").c_str());
    }

    std::string dir_;
};

TEST_F(AesTest, MatchesOpensslBothWaysForAnySize) {
    for (size_t size : {0, 1, 15, 16, 17, 1023, 1024, 1025, 1040, 4096, 100001}) {
        SCOPED_TRACE(size);
        const std::string plain = random_bytes(size, static_cast<unsigned>(size));
        write_file(path("plain"), plain);
        ASSERT_EQ(run(Aes256EcbEncrypt, kKey, path("plain"), path("ours.enc")), 0);
        ASSERT_EQ(openssl("-e", path("plain"), path("peer.enc")), 0);
        const std::string cipher = read_file(path("ours.enc"));
        EXPECT_EQ(cipher.size(), (size / 16 + 1) * 16);
        EXPECT_EQ(cipher, read_file(path("peer.enc")));

        ASSERT_EQ(run(Aes256EcbDecrypt, kKey, path("peer.enc"), path("ours.dec")), 0);
        EXPECT_EQ(read_file(path("ours.dec")), plain);
        ASSERT_EQ(openssl("-d", path("ours.enc"), path("peer.dec")), 0);
        EXPECT_EQ(read_file(path("peer.dec")), plain);
    }
}

TEST_F(AesTest, UsesStreamsFromWhereTheCallerLeftThem) {
    const std::string plain = random_bytes(3000, 7);
    write_file(path("plain"), "skip" + plain);
    write_file(path("tail"), plain);
    ASSERT_EQ(openssl("-e", path("tail"), path("peer.enc")), 0);

    FILE *in = std::fopen(path("plain").c_str(), "rb");
    FILE *out = std::fopen(path("ours.enc").c_str(), "wb");
    std::fseek(in, 4, SEEK_SET);
    std::fputs("head", out);
    ASSERT_EQ(Aes256EcbEncrypt(kKey, in, out), 0);
    EXPECT_EQ(std::fgetc(in), EOF);       // not rewound
    EXPECT_EQ(std::fputc('x', out), 'x');  // still open
    std::fclose(in);
    std::fclose(out);
    EXPECT_EQ(read_file(path("ours.enc")), "head" + read_file(path("peer.enc")) + "x");
}

TEST_F(AesTest, DecryptRejectsWrongKeyAndDamagedData) {
    tbox::test::LogCapture log;
    const std::string plain = random_bytes(100, 1);
    write_file(path("plain"), plain);
    ASSERT_EQ(run(Aes256EcbEncrypt, kKey, path("plain"), path("enc")), 0);
    unsigned char other[32] = {1};
    EXPECT_EQ(run(Aes256EcbDecrypt, other, path("enc"), path("dec")), -1);
    EXPECT_TRUE(log.has("EVP_DecryptFinal_ex Failed\n"));

    // A partial last block.
    write_file(path("cut"), read_file(path("enc")).substr(0, 100));
    EXPECT_EQ(run(Aes256EcbDecrypt, kKey, path("cut"), path("dec")), -1);
    EXPECT_TRUE(log.has("EVP_DecryptFinal_ex Failed\n"));
    const std::string partial = read_file(path("dec"));  // whole blocks before the damage stay written
    EXPECT_EQ(partial.size() % 16, 0u);
    EXPECT_EQ(partial, plain.substr(0, partial.size()));
}

TEST_F(AesTest, ReadAndWriteErrorsAreFailuresNotShortResults) {
    tbox::test::LogCapture log;
    // Reading a directory stream fails (EISDIR) instead of looking like an empty input.
    FILE *dir = std::fopen(dir_.c_str(), "rb");
    ASSERT_NE(dir, nullptr);
    FILE *out = std::fopen(path("out").c_str(), "wb");
    EXPECT_EQ(Aes256EcbEncrypt(kKey, dir, out), -1);
    EXPECT_EQ(Aes256EcbDecrypt(kKey, dir, out), -1);
    EXPECT_TRUE(log.has("AES input read error[Is a directory]\n"));
    std::fclose(dir);
    std::fclose(out);
    EXPECT_EQ(read_file(path("out")), "");

    write_file(path("plain"), random_bytes(5000, 3));
    FILE *in = std::fopen(path("plain").c_str(), "rb");
    FILE *full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(Aes256EcbEncrypt(kKey, in, full), -1);
    EXPECT_TRUE(log.has("AES output write error[No space left on device]\n"));
    std::fclose(in);
    std::fclose(full);
}

TEST_F(AesTest, NullArgumentsAreSetUpFailures) {
    tbox::test::LogCapture log;
    write_file(path("plain"), "data");
    FILE *in = std::fopen(path("plain").c_str(), "rb");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Aes256EcbEncrypt(nullptr, in, stdout), -1);
    EXPECT_EQ(Aes256EcbEncrypt(kKey, nullptr, stdout), -1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("EVP_EncryptInit_ex failed:", 0), 0u) << printed;
    EXPECT_EQ(Aes256EcbDecrypt(kKey, in, nullptr), -1);
    EXPECT_TRUE(log.has("EVP_DecryptInit_ex failed\n"));
    std::fclose(in);
}

}  // namespace
