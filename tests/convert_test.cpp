// Conversion utilities against real peers (openssl base64, zlib's crc32) and their edge cases.
#include <gtest/gtest.h>
#include <zlib.h>

#include <tbox/convert.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen());
    return s;
}

std::string openssl_base64(const std::string &bytes, const std::string &flags) {
    const std::string file = "/tmp/convert_test_b64." + std::to_string(getpid());
    std::ofstream(file, std::ios::binary) << bytes;
    std::string out;
    FILE *p = popen(("openssl base64 " + flags + " -in " + file).c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    std::remove(file.c_str());
    return out;
}

const char *str(const unsigned char *s) {
    return reinterpret_cast<const char *>(s);
}

TEST(Base64, EncodeMatchesOpensslLineBreaking) {
    for (size_t size : {0, 1, 2, 3, 47, 48, 49, 96, 1000}) {
        SCOPED_TRACE(size);
        std::string in = random_bytes(size, static_cast<unsigned>(size));
        const std::string expected = openssl_base64(in, "");
        std::vector<char> out(expected.size() + 1);  // exactly the documented size
        testing::internal::CaptureStdout();
        EXPECT_EQ(base64_encode(in.data(), static_cast<int>(size), out.data()), static_cast<int>(expected.size()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "in_len = " + std::to_string(size) + "\n");
        EXPECT_EQ(std::string(out.data()), expected);
    }
    char abc[] = "abc", out[8];
    EXPECT_EQ(base64_encode(abc, 3, out), 5);
    EXPECT_STREQ(out, "YWJj\n");
}

TEST(Base64, DecodeSingleLineTextAndRejects) {
    for (size_t size : {1, 2, 3, 4, 48, 100000}) {
        const std::string bytes = random_bytes(size, static_cast<unsigned>(size) + 1);
        std::string text = openssl_base64(bytes, "-A");
        std::vector<char> out(3 * ((text.size() + 3) / 4) + 1);
        ASSERT_EQ(base64_decode(text.data(), static_cast<int>(text.size()), out.data()), static_cast<int>(size));
        EXPECT_EQ(std::string(out.data(), size + 1), bytes + '\0');
    }
    char text[] = "YWJj", bad[] = "!!!!", out[16];
    EXPECT_EQ(base64_encode(nullptr, 3, out), -1);
    EXPECT_EQ(base64_encode(text, 3, nullptr), -1);
    EXPECT_EQ(base64_decode(nullptr, 4, out), -1);
    EXPECT_EQ(base64_decode(text, 4, nullptr), -1);
    std::memset(out, 'x', sizeof out);
    EXPECT_LE(base64_decode(bad, 4, out), 0);
    EXPECT_STREQ(out, "");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(base64_decode(text, -4, out), 0);
    EXPECT_STREQ(out, "");
}

char kCheck[] = "123456789";

// The byte-wise definition, to hold the table method to for polynomials zlib does not offer.
uint32_t reference_crc(uint32_t poly, const std::string &s) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) ? poly : 0u);
    }
    return ~c;
}

TEST(Crc32, MatchesZlibForEveryLengthAndAlignment) {
    EXPECT_EQ(crc32(kCheck, 9), 0xCBF43926u);
    EXPECT_EQ(crc32(kCheck, 0), 0u);
    EXPECT_EQ(crc32(kCheck, -5), 0u);
    std::string data = random_bytes(4200, 42);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t len : {1, 7, 39, 40, 41, 79, 80, 81, 1000, 4191}) {
            const auto *p = reinterpret_cast<const Bytef *>(data.data() + offset);
            ASSERT_EQ(crc32(data.data() + offset, static_cast<int>(len)), ::crc32(0L, p, static_cast<uInt>(len)))
                << offset << "+" << len;
        }
    }
}

TEST(Crc32, PolynomialTakesEffectOnlyWithNewTable) {
    EXPECT_EQ(have_table, 0);
    EXPECT_EQ(crc32(kCheck, 0), 0u);
    EXPECT_EQ(have_table, 1);
    POLYNOMIAL = 0x82F63B78u;  // CRC-32C (Castagnoli)
    EXPECT_EQ(crc32(kCheck, 9), 0xCBF43926u);
    make_table();
    EXPECT_EQ(crc32(kCheck, 9), 0xE3069283u);
    POLYNOMIAL = 0xEDB88320u;
    have_table = 0;  // a reset flag also rebuilds, on the next crc32
    EXPECT_EQ(crc32(kCheck, 9), 0xCBF43926u);

    std::mt19937 gen(9);
    const std::string data = random_bytes(300, 5);
    for (int i = 0; i < 50; ++i) {
        POLYNOMIAL = static_cast<uint32_t>(gen());
        make_table();
        for (size_t len : {1, 13, 300}) {
            const std::string part = data.substr(0, len);
            ASSERT_EQ(crc32(const_cast<char *>(part.data()), static_cast<int>(len)), reference_crc(POLYNOMIAL, part));
        }
    }
}

TEST(Crc32, FirstCallsRacingEachOtherAllSeeAWholeTable) {
    std::string data = random_bytes(1 << 16, 11);
    const uLong expected = ::crc32(0L, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size()));
    std::vector<uint32_t> results(8);
    std::vector<std::thread> threads;
    for (auto &r : results) threads.emplace_back([&] { r = crc32(data.data(), static_cast<int>(data.size())); });
    for (auto &t : threads) t.join();
    for (uint32_t r : results) EXPECT_EQ(r, expected);
}

TEST(HexText, ConvertersAndTheirEdges) {
    const unsigned char bytes[] = {0x0A, 0xFF};
    unsigned char text[8] = "xxxxxxx";
    EXPECT_STREQ(str(HexToStr(text, bytes, 2)), "0AFF");
    EXPECT_STREQ(str(HexToStr(text, bytes, 0)), "");
    StrToAsc(text, bytes, 2);
    EXPECT_STREQ(str(text), "0aff");
    StrToAsc(text + 1, bytes, 0);
    EXPECT_EQ(text[1], 'a') << "n = 0 writes nothing";

    unsigned char back[3] = {0, 0, 0x77};
    StrToHex(back, reinterpret_cast<const unsigned char *>("0aFF!!"), 2);
    EXPECT_EQ(std::vector<int>(back, back + 3), (std::vector<int>{0x0A, 0xFF, 0x77})) << "no terminator";
    unsigned char upper[] = "ab\0cd";
    EXPECT_EQ(std::memcmp(StrToUpper(upper, 4), "AB\0Cd", 5), 0);

    EXPECT_EQ(std::string({itoch(9), itoch(15), itoch(16), itoch(-1)}), "9F00");
    EXPECT_EQ(CharToHex(10), 'A');
    EXPECT_EQ(CharToHex(16), 0xFF);
    EXPECT_EQ(CharToHex(-1), 0xFF);
    EXPECT_STREQ(str(CharToHexs(0x5C, text)), "5C");

    char lower[] = "7f", three[] = "123", four[] = "1A2B", empty[] = "";
    EXPECT_EQ(HexsToChar(lower), 0x7F);
    EXPECT_STREQ(lower, "7F");
    EXPECT_EQ(HexsToChar(three), 0x23);
    EXPECT_EQ(HexsToChar(four), 0x2B);
    EXPECT_EQ(HexsToChar(empty), 0);
}

TEST(Itoa, BasesSignsAndLimits) {
    char buf[40];
    EXPECT_STREQ(itoa(255, buf, 16), "FF");
    EXPECT_STREQ(itoa(-42, buf, 10), "-42");
    EXPECT_STREQ(itoa(-1, buf, 2), std::string(32, '1').c_str());
    EXPECT_STREQ(itoa(0, buf, 8), "0");
    EXPECT_STREQ(itoa(-1, buf, 16), "FFFFFFFF");
    EXPECT_STREQ(itoa(INT_MIN, buf, 10), "-2147483648");
    EXPECT_STREQ(itoa(35, buf, 36), "Z");
    for (int base : {-3, 0, 1, 37}) {
        std::memset(buf, 'x', sizeof buf);
        EXPECT_STREQ(itoa(12345, buf, base), "") << base;
    }
}

TEST(MaxAndMin, EightAndSixteenBit) {
    unsigned char samples[] = {3, 7, 7, 1, 1}, mx = 0, mn = 0, pmx = 0, pmn = 0;
    u8MaxAndMin(samples, 5, &mx, &mn, &pmx, &pmn);
    EXPECT_EQ(std::vector<int>({mx, pmx, mn, pmn}), (std::vector<int>{7, 2, 1, 5}));
    mx = mn = pmx = pmn = 0xEE;
    u8MaxAndMin(nullptr, 0, &mx, &mn, &pmx, &pmn);
    EXPECT_EQ(mx & mn & pmx & pmn, 0xEE) << "an empty buffer is neither read nor reported";

    // Exactly sized on the heap, so reading past the count would trip the address sanitizer.
    std::vector<unsigned char> words = {0x00, 0x64, 0xFF, 0x9C, 0x00, 0x64, 0x7F};
    unsigned short wmx = 0, wmn = 0, hundredth = 0;
    for (unsigned short bytes : {6, 7}) {  // an odd last byte is ignored
        u16MaxAndMin(words.data(), bytes, &wmx, &wmn, &pmx, &pmn, &hundredth);
        EXPECT_EQ(std::vector<int>({wmx, pmx, wmn, pmn, hundredth}), (std::vector<int>{100, 1, 0xFF9C, 2, 1}));
    }
    std::vector<unsigned char> negative = {0xFF, 0x9C};  // the sum is divided as unsigned 32 bits
    u16MaxAndMin(negative.data(), 2, &wmx, &wmn, &pmx, &pmn, &hundredth);
    EXPECT_EQ(hundredth, static_cast<unsigned short>(static_cast<uint32_t>(-100) / 100u));
    std::vector<unsigned char> one = {0x12};
    wmx = wmn = hundredth = 0xEEEE;
    u16MaxAndMin(one.data(), 1, &wmx, &wmn, &pmx, &pmn, &hundredth);
    EXPECT_EQ(wmx & wmn & hundredth, 0xEEEE);
}

TEST(GetRollNumber, DigitsFromTheSystemSourceWithoutTouchingRand) {
    unsigned char buf[256], again[200];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(GetRollNumber(nullptr, 4), 255);
    EXPECT_EQ(GetRollNumber(buf, 0), 0);
    EXPECT_EQ(buf[0], 'x');
    std::srand(1);
    const int first = std::rand();
    std::srand(1);
    EXPECT_EQ(GetRollNumber(buf, static_cast<char>(200)), 0);  // the count is unsigned 8-bit
    EXPECT_EQ(std::rand(), first);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(buf[i] >= '0' && buf[i] <= '9') << i;
    EXPECT_EQ(buf[200], 'x');
    EXPECT_EQ(GetRollNumber(again, static_cast<char>(200)), 0);
    EXPECT_NE(std::memcmp(buf, again, 200), 0) << "two calls within one second differ";
}

TEST(GetFileSize, SizesAndMissingFile) {
    tbox::test::LogCapture log;
    char dir[] = "/tmp/convert_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    std::ofstream(base + "/empty").close();
    std::ofstream(base + "/full", std::ios::binary) << std::string(12345, 'z');
    EXPECT_EQ(GetFileSize((base + "/empty").c_str()), 0);
    EXPECT_EQ(GetFileSize((base + "/full").c_str()), 12345);
    EXPECT_EQ(GetFileSize((base + "/missing").c_str()), -1);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].priority, 4);
    EXPECT_TRUE(log.has("Get file[" + base + "/missing] size error[No such file or directory]\n"));
    std::system(("rm -rf " + base).c_str());
}

}  // namespace
