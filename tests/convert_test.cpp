// base64 against the openssl tool and OpenSSL's base64 filter, crc32 against zlib, and the converters'
// edge inputs.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <tbox/convert.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/files.h"

namespace {
using namespace tbox::test;

TEST(Base64Test, EncodeEqualsOpensslAndSingleLineTextDecodesBack) {
    TempDir dir;
    for (size_t size : {0, 1, 2, 3, 47, 48, 49, 95, 96, 97, 1000}) {  // around the 48 bytes of a line
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

TEST(Crc32Test, EqualsZlibAndChangesPolynomialOnlyWithMakeTableOrATableReset) {
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
    POLYNOMIAL = 0xEDB88320u;
    have_table = 0;  // the next crc32 rebuilds
    EXPECT_EQ(crc32(check, 9), 0xCBF43926u);
    EXPECT_EQ(have_table, 1);
}

TEST(ConvertTest, EdgeInputsGiveSafeResults) {
    char text[40];
    for (int base : {-3, 0, 1, 37}) EXPECT_STREQ(itoa(12345, text, base), "") << "base " << base;
    using namespace std::string_literals;
    for (std::string invalid : {"!!!!"s, "YW!j"s, "YWJj!!!!"s, "YW-j"s, "YW_j"s, "YWJjZA=\t"s, "YWJj\0"s}) {
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
    for (size_t digits : {0, 200, 255}) {  // the count is unsigned 8-bit: 255 is char -1
        Bytes roll(256, 'x');
        EXPECT_EQ(GetRollNumber(reinterpret_cast<unsigned char *>(roll.data()), static_cast<char>(digits)), 0);
        EXPECT_EQ(roll.find_first_not_of("0123456789"), digits);
        EXPECT_EQ(roll.find_first_not_of('x', digits), std::string::npos) << digits;
    }
    char none[] = "x";
    for (int len : {0, -1, INT_MIN}) {
        EXPECT_EQ(base64_encode(none, len, text), 0);
        EXPECT_STREQ(text, "");
        EXPECT_EQ(base64_decode(none, len, text), 0);
        EXPECT_EQ(crc32(none, len), 0u);
    }
}

// Big-endian 16-bit samples: `fill` everywhere, `at` (index, sample) where given; `bytes` long, exactly.
std::vector<unsigned char> samples16(unsigned short bytes, int fill, const std::vector<std::pair<size_t, int>> &at) {
    std::vector<unsigned char> out(bytes, 0x7F);
    auto put16 = [&out](size_t i, int v) {
        out[2 * i] = static_cast<unsigned char>((v >> 8) & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(v & 0xFF);
    };
    for (size_t i = 0; i < bytes / 2u; ++i) put16(i, fill);
    for (const auto &[i, v] : at) put16(i, v);
    return out;
}

TEST(ConvertTest, SampleScansAtTheEdgesOfTheirTypes) {
    struct Row {
        const char *what;
        std::vector<unsigned char> samples;
        std::vector<int> expected;  // max, min, max position, min position, hundredth
    };
    const Row rows[] = {
        {"sum past 16 bits, positions past 255",
         samples16(65534, 1000, {{256, 32767}, {299, -5}}),
         {32767, 65531, 1, 44, 297}},
        {"the largest sum", samples16(65534, 32767, {}), {32767, 32767, 1, 255, 54394}},
        {"a negative sum taken as unsigned 32 bits, odd last byte",
         samples16(65535, -32768, {}),
         {32768, 32768, 1, 255, 34406}},
    };
    for (const Row &row : rows) {
        std::vector<unsigned char> samples = row.samples;
        unsigned short mx = 0, mn = 0, hundredth = 0;
        unsigned char pmx = 0, pmn = 0;
        u16MaxAndMin(samples.data(), static_cast<unsigned short>(samples.size()), &mx, &mn, &pmx, &pmn, &hundredth);
        EXPECT_EQ(std::vector<int>({mx, mn, pmx, pmn, hundredth}), row.expected) << row.what;
    }
    // 8-bit samples: the first largest at 256 and 1000, the last smallest at 101 and 300 (8-bit: 0 and 44).
    std::vector<unsigned char> bytes(65535, 7);
    bytes[255] = bytes[999] = 200;
    bytes[100] = bytes[299] = 1;
    unsigned char mx = 0, mn = 0, pmx = 0xEE, pmn = 0xEE;
    u8MaxAndMin(bytes.data(), 65535, &mx, &mn, &pmx, &pmn);
    EXPECT_EQ(std::vector<int>({mx, mn, pmx, pmn}), (std::vector<int>{200, 1, 0, 44}));
}

// What OpenSSL's base64 filter reads from `text` in no-newline mode: the decoder's results have always
// been the filter's, also for texts in the alphabet that are not well-formed base64.
int filter_decode(const Bytes &text, std::vector<char> &out) {
    BIO *chain = BIO_push(BIO_new(BIO_f_base64()), BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    BIO_set_flags(chain, BIO_FLAGS_BASE64_NO_NL);
    const int room = std::min<int>(text.size(), text.size() / 4 * 3 + (text.size() % 4 != 0 ? 3 : 0));
    const int n = text.empty() ? 0 : BIO_read(chain, out.data(), room);
    BIO_free_all(chain);
    return n;
}

TEST(Base64Test, DecodeGivesTheFilterResultForEveryTextInTheAlphabet) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    struct Mark {
        const char *what;
        size_t fromEnd;  // position counted back from the end (1 = last), 0 for none
        size_t at;       // or from the start
        char c;
    };
    // Padding, CR and LF where the filter treats them specially: at the end of the text or of a 1024-character block.
    const std::vector<std::vector<Mark>> marks = {
        {},
        {{"pad", 1, 0, '='}},
        {{"pad", 1, 0, '='}, {"pad", 2, 0, '='}},
        {{"pad", 3, 0, '='}},
        {{"LF", 1, 0, '\n'}},
        {{"CR LF", 2, 0, '\r'}, {"", 1, 0, '\n'}},
        {{"LF x4", 1, 0, '\n'}, {"", 2, 0, '\n'}, {"", 3, 0, '\n'}, {"", 4, 0, '\n'}},
        {{"LF inside", 0, 5, '\n'}},
        {{"pad inside", 0, 6, '='}},
        {{"pad ends block", 0, 1023, '='}},
        {{"pads end block", 0, 1023, '='}, {"", 0, 1022, '='}},
        {{"LF ends block", 0, 1023, '\n'}},
        {{"LF in block 2", 0, 1030, '\n'}},
    };
    for (size_t len : {0, 1, 3, 4, 6, 8, 9, 1020, 1023, 1024, 1027, 1028, 2048, 2051, 3000}) {
        for (const auto &row : marks) {
            Bytes text(len, 'A');
            for (size_t i = 0; i < len; ++i) text[i] = alphabet[(i * 7 + len) % 64];
            std::string what;
            for (const Mark &m : row) {
                const size_t at = m.fromEnd != 0 ? len - m.fromEnd : m.at;
                if (m.fromEnd > len || at >= len) continue;
                text[at] = m.c;
                what += m.what;
            }
            SCOPED_TRACE(std::to_string(len) + " " + what);
            std::vector<char> peer(len + 4, 'x'), ours(len + 4, 'x');
            const int n = filter_decode(text, peer);
            ASSERT_EQ(base64_decode(text.data(), len, ours.data()), n);
            EXPECT_EQ(std::string(ours.data(), n + 1), std::string(peer.data(), n) + '\0');
        }
    }
}

TEST(ConvertTest, TextConvertersWriteTheDocumentedDigitsAndTerminator) {
    using namespace std::string_literals;
    struct Row {
        const char *what;
        std::function<void(unsigned char *)> convert;
        std::string expected;  // the bytes written, terminator included, then one untouched 'x'
    };
    static const unsigned char bytes[] = {0x0A, 0xFF};
    auto itoa_row = [](int value, int base, const std::string &text) {
        return Row{"itoa", [=](unsigned char *out) { itoa(value, reinterpret_cast<char *>(out), base); },
                   text + '\0' + 'x'};
    };
    const std::vector<Row> rows = {
        {"HexToStr", [](unsigned char *out) { HexToStr(out, bytes, 2); }, "0AFF\0x"s},
        {"HexToStr n=0", [](unsigned char *out) { HexToStr(out, bytes, 0); }, "\0x"s},
        {"StrToAsc", [](unsigned char *out) { StrToAsc(out, bytes, 2); }, "0aff\0x"s},
        {"StrToAsc n=0", [](unsigned char *out) { StrToAsc(out, bytes, 0); }, "xx"},
        {"StrToHex", [](unsigned char *out) { StrToHex(out, reinterpret_cast<const unsigned char *>("0aFF"), 2); },
         "\x0A\xFFx"},
        {"CharToHexs", [](unsigned char *out) { CharToHexs(0x5C, out); }, "5C\0x"s},
        itoa_row(255, 16, "FF"),
        itoa_row(0, 8, "0"),
        itoa_row(-42, 10, "-42"),
        itoa_row(INT_MIN, 10, "-2147483648"),
        itoa_row(INT_MAX, 10, "2147483647"),
        itoa_row(INT_MIN, 16, "80000000"),
        itoa_row(INT_MAX, 36, "ZIK0ZJ"),
        itoa_row(-1, 16, "FFFFFFFF"),
        itoa_row(-255, 16, "FFFFFF01"),
        itoa_row(-1, 2, std::string(32, '1')),
        itoa_row(-36, 36, "1Z141Y4"),
    };
    for (const Row &row : rows) {
        unsigned char out[40];
        std::fill(std::begin(out), std::end(out), 'x');
        row.convert(out);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out), row.expected.size()), row.expected) << row.what;
    }
    char hex[] = "7f";
    EXPECT_EQ(HexsToChar(hex), 0x7F);
    EXPECT_STREQ(hex, "7F");
}

}  // namespace
