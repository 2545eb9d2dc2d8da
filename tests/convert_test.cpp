// base64 against the openssl tool, crc32 against zlib, and the converters' edge inputs.
#include <gtest/gtest.h>
#include <tbox/convert.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "support/files.h"

namespace {
using namespace tbox::test;

TEST(Base64Test, EncodeEqualsOpensslAndSingleLineTextDecodesBack) {
    TempDir dir;
    for (size_t size : {0, 1, 2, 3, 48, 49, 1000}) {
        SCOPED_TRACE(size);
        Bytes bytes = noise(size, 13);
        put(dir / "in", bytes);
        run("openssl base64 -in " + dir / "in" + " -out " + dir / "peer");
        const Bytes peer = get(dir / "peer");
        std::vector<char> out(peer.size() + 1);  // exactly the room the header asks for
        EXPECT_EQ(base64_encode(bytes.data(), size, out.data()), static_cast<int>(peer.size()));
        EXPECT_EQ(Bytes(out.data()), peer);
        Bytes line = peer;
        line.erase(std::remove(line.begin(), line.end(), '\n'), line.end());
        std::vector<char> back(3 * ((line.size() + 3) / 4) + 1);
        EXPECT_EQ(base64_decode(line.data(), line.size(), back.data()), static_cast<int>(size));
        EXPECT_EQ(Bytes(back.data(), size + 1), bytes + '\0');
    }
}

TEST(Crc32Test, EqualsZlibAndChangesPolynomialOnlyWithMakeTable) {
    char check[] = "123456789";
    EXPECT_EQ(crc32(check, 9), 0xCBF43926u);
    Bytes data = noise(4200, 42);
    for (size_t at : {0, 1, 3, 7}) {  // lengths around the 40-byte braid block, at each alignment
        for (int len : {1, 39, 40, 41, 79, 80, 81, 1000, 4191})
            ASSERT_EQ(crc32(&data[at], len), ::crc32(0, reinterpret_cast<Bytef *>(&data[at]), len)) << at << "+" << len;
    }
    POLYNOMIAL = 0x82F63B78u;  // CRC-32C
    EXPECT_EQ(crc32(check, 9), 0xCBF43926u);
    make_table();
    EXPECT_EQ(crc32(check, 9), 0xE3069283u);
}

TEST(ConvertTest, EdgeInputsGiveSafeResults) {
    char text[40];
    for (int base : {-3, 0, 1, 37}) EXPECT_STREQ(itoa(12345, text, base), "") << "base " << base;
    for (std::string invalid : {"!!!!", "YW!j", "YWJj!!!!"}) {
        std::fill(std::begin(text), std::end(text), 'x');
        EXPECT_EQ(base64_decode(invalid.data(), invalid.size(), text), -1);
        EXPECT_STREQ(text, "") << invalid;
    }
    // Exactly sized on the heap: a read past the count trips the address sanitizer.
    std::vector<unsigned char> words = {0x00, 0x64, 0xFF, 0x9C, 0x00, 0x64, 0x7F};
    unsigned char mx = 0xEE, mn = 0xEE, pmx = 0xEE, pmn = 0xEE;
    u8MaxAndMin(nullptr, 0, &mx, &mn, &pmx, &pmn);
    EXPECT_EQ(mx & mn & pmx & pmn, 0xEE) << "an empty buffer is neither read nor reported";
    unsigned short wmx = 0xEEEE, wmn = 0xEEEE, hundredth = 0xEEEE;
    u16MaxAndMin(words.data(), 1, &wmx, &wmn, &pmx, &pmn, &hundredth);
    EXPECT_EQ(wmx & wmn & hundredth, 0xEEEE) << "a single byte is no sample";
    u16MaxAndMin(words.data(), 7, &wmx, &wmn, &pmx, &pmn, &hundredth);  // the odd last byte is ignored
    EXPECT_EQ(std::vector<int>({wmx, pmx, wmn, pmn, hundredth}), (std::vector<int>{100, 1, 0xFF9C, 2, 1}));
    Bytes roll(201, 'x');
    EXPECT_EQ(GetRollNumber(reinterpret_cast<unsigned char *>(roll.data()), static_cast<char>(200)), 0);
    EXPECT_EQ(roll.find_first_not_of("0123456789"), 200u) << "the count is unsigned 8-bit";
    EXPECT_EQ(roll[200], 'x');
}

}  // namespace
