// Upgrade utilities (patch, digests, AES, converters) against real peers: Debian's bsdiff, coreutils' md5sum and
// sha256sum, the openssl tool and zlib.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <tbox/cipher.h>
#include <tbox/convert.h>
#include <tbox/digest.h>
#include <tbox/patch.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::string;

// A fresh directory under /tmp, removed with its contents at the end of the scope.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/tbox_util.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    long entries() const { return std::distance(fs::directory_iterator(path), fs::directory_iterator()); }
};

void put(const std::string &path, const Bytes &data) {
    std::ofstream(path, std::ios::binary) << data;
}
Bytes get(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
// n reproducible bytes without structure for a compressor or a differ to exploit.
Bytes noise(size_t n, uint32_t seed) {
    Bytes out(n, '\0');
    for (auto &c : out) c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return out;
}
// The standard output of a shell command, which must succeed.
Bytes sh(const std::string &cmd) {
    Bytes out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << cmd;
    return out;
}

// ---- BSDiffPatchFile

// A patch integer: magnitude little-endian, sign in bit 7 of the last byte.
Bytes offout(int64_t v) {
    const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    Bytes out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(magnitude >> (8 * i));
    if (v < 0) out[7] = static_cast<char>(out[7] | 0x80);
    return out;
}
Bytes bz(const Bytes &raw) {
    std::vector<char> out(raw.size() + raw.size() / 100 + 600);
    auto len = static_cast<unsigned>(out.size());
    BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char *>(raw.data()), static_cast<unsigned>(raw.size()), 9, 0,
                             0);
    return Bytes(out.data(), len);
}
struct Triple {
    int64_t x, y, z;
};
// A patch from its control triples and the raw difference and extra blocks.
Bytes make_patch(int64_t new_size, const std::vector<Triple> &triples, const Bytes &diff = "abcd",
                 const Bytes &extra = "ef") {
    Bytes ctrl;
    for (const auto &t : triples) ctrl += offout(t.x) + offout(t.y) + offout(t.z);
    const Bytes c = bz(ctrl), d = bz(diff);
    return "BSDIFF40" + offout(static_cast<int64_t>(c.size())) + offout(static_cast<int64_t>(d.size())) +
           offout(new_size) + c + d + bz(extra);
}
// The patch with its header field at byte `at` (8: control length, 16: difference length, 24: new size) set to v.
Bytes with_field(Bytes patch, size_t at, int64_t v) {
    return patch.replace(at, 8, offout(v));
}
int patch(const TempDir &dir, const std::string &oldf) {
    return BSDiffPatchFile(oldf.c_str(), (dir / "new").c_str(), (dir / "patch").c_str());
}

TEST(BSDiffPatchFileTest, RebuildsWhatBsdiffDiffedByteForByte) {
    TempDir dir;
    put(dir / "a", "hello, old world\n");
    put(dir / "b", "hello, brave new world\n");
    const std::string lib = "/usr/lib/x86_64-linux-gnu/lib";  // two real binaries, a few MiB apart
    const std::pair<std::string, std::string> pairs[] = {{dir / "a", dir / "b"},
                                                         {lib + "crypto.so.3", lib + "stdc++.so.6"}};
    for (const auto &[oldf, newf] : pairs) {
        SCOPED_TRACE(newf);
        sh("bsdiff '" + oldf + "' '" + newf + "' '" + dir / "patch" + "'");
        put(dir / "new", "stale contents");
        ASSERT_EQ(patch(dir, oldf), 0);
        EXPECT_TRUE(get(dir / "new") == get(newf)) << "rebuilt file differs";
        EXPECT_EQ(dir.entries(), 4) << "a temporary file was left";
    }
}

TEST(BSDiffPatchFileTest, HostileOrCorruptPatchesFailAndLeaveTheNewFileAlone) {
    TempDir dir;
    Bytes target = noise(20000, 3);
    put(dir / "old", target);
    for (size_t i = 0; i < target.size(); i += 101) target[i] = 'x';
    put(dir / "target", target);
    sh("bsdiff '" + dir / "old" + "' '" + dir / "target" + "' '" + dir / "real" + "'");
    const Bytes real = get(dir / "real"), good = make_patch(6, {{4, 2, 0}});
    const int64_t k2p31 = int64_t{1} << 31, k2p32 = int64_t{1} << 32;
    const std::pair<const char *, Bytes> cases[] = {
        {"31 bytes", good.substr(0, 31)},
        {"bad magic", "BSDIFF41" + good.substr(8)},
        {"negative control length", with_field(good, 8, -1)},
        {"negative new size", with_field(good, 24, -6)},
        {"new size of 2^31", with_field(good, 24, k2p31)},
        {"new size of 2^32 + 6", with_field(good, 24, k2p32 + 6)},
        {"control length past the end of the file", with_field(good, 8, 1 << 20)},
        {"difference length past the end of the file", with_field(good, 16, static_cast<int64_t>(good.size()))},
        {"header lengths whose sum overflows", with_field(with_field(good, 8, INT64_MAX), 16, INT64_MAX)},
        {"negative x", make_patch(6, {{-4, 10, 0}})},
        {"negative y", make_patch(6, {{4, -2, 0}})},
        {"x of 2^31", make_patch(6, {{k2p31, 0, 0}})},
        {"x of 2^32 + 4", make_patch(6, {{k2p32 + 4, 2, 0}})},
        {"z of -2^40", make_patch(6, {{4, 2, -(int64_t{1} << 40)}})},
        {"x runs past the new size", make_patch(3, {{4, 0, 0}}, "abcd", "")},
        {"y runs past the new size", make_patch(5, {{4, 2, 0}})},
        {"control ends before the new size", make_patch(9, {{4, 2, 0}})},
        {"extra block too short", make_patch(6, {{4, 2, 0}}, "abcd", "e")},
        {"two empty triples in a row", make_patch(6, {{0, 0, 1}, {0, 0, 1}, {4, 2, 0}})},
        {"bzip2 bomb of empty triples", make_patch(INT32_MAX, std::vector<Triple>(100000), "", "")},
        {"real patch cut in half", real.substr(0, real.size() / 2)},
        {"real patch with a flipped byte", Bytes(real).replace(real.size() / 2, 1, 1, real[real.size() / 2] ^ 0x40)},
    };
    for (const auto &[what, bytes] : cases) {
        SCOPED_TRACE(what);
        put(dir / "patch", bytes);
        put(dir / "new", "previous contents");
        EXPECT_EQ(patch(dir, dir / "old"), -1);
        EXPECT_EQ(get(dir / "new"), "previous contents");
        EXPECT_EQ(dir.entries(), 5) << "a temporary file was left";
    }
}

// ---- FileMD5, FileSHA256

TEST(FileDigestTest, EqualsCoreutilsAcrossTheReadChunk) {
    TempDir dir;
    const std::string data = dir / "data";
    const struct {
        char *(*fn)(const char *, char *);
        const char *tool;
    } digests[] = {{FileMD5, "md5sum"}, {FileSHA256, "sha256sum"}};
    for (size_t size : {size_t{0}, size_t{256 << 10}, size_t{(256 << 10) + 1}, size_t{(5 << 20) + 123}}) {
        put(data, noise(size, 5));
        for (const auto &d : digests) {
            SCOPED_TRACE(std::string(d.tool) + " of " + std::to_string(size) + " bytes");
            char md[65];
            ASSERT_EQ(d.fn(data.c_str(), md), md);
            Bytes peer = sh(std::string(d.tool) + " '" + data + "'");
            peer.resize(peer.find(' '));
            std::transform(peer.begin(), peer.end(), peer.begin(), [](unsigned char c) { return std::toupper(c); });
            EXPECT_EQ(md, peer);
        }
    }
    char md[65] = "untouched";
    EXPECT_EQ(FileMD5((dir / "missing").c_str(), md), nullptr);
    EXPECT_EQ(FileSHA256(dir.path.c_str(), md), nullptr);  // a directory opens but cannot be read
    EXPECT_STREQ(md, "untouched");
}

// ---- Aes256EcbEncrypt, Aes256EcbDecrypt

int aes(int (*fn)(const unsigned char *, FILE *, FILE *), const unsigned char *key, const std::string &from,
        const std::string &to) {
    FILE *in = std::fopen(from.c_str(), "rb"), *out = std::fopen(to.c_str(), "wb");
    const int rc = fn(key, in, out);
    std::fclose(in);
    std::fclose(out);
    return rc;
}

TEST(Aes256EcbTest, EqualsOpensslDecryptsBackAndReportsFailures) {
    TempDir dir;
    unsigned char key[32];
    std::string hex;
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<unsigned char>(i * 37 + 11);
        hex += "0123456789abcdef"[key[i] >> 4], hex += "0123456789abcdef"[key[i] & 15];
    }
    for (size_t size : {0, 15, 16, 1023, 1024, 1040, 100001}) {  // around the block and the 1 KiB read
        SCOPED_TRACE(size);
        const Bytes plain = noise(size, 11);
        put(dir / "plain", plain);
        ASSERT_EQ(aes(Aes256EcbEncrypt, key, dir / "plain", dir / "ours"), 0);
        sh("openssl enc -e -aes-256-ecb -K " + hex + " -in " + dir / "plain" + " -out " + dir / "peer");
        EXPECT_TRUE(get(dir / "ours") == get(dir / "peer"));
        ASSERT_EQ(aes(Aes256EcbDecrypt, key, dir / "peer", dir / "back"), 0);
        EXPECT_TRUE(get(dir / "back") == plain);
    }
    const unsigned char other[32] = {1};
    EXPECT_EQ(aes(Aes256EcbDecrypt, other, dir / "peer", dir / "back"), -1);
    put(dir / "cut", get(dir / "peer").substr(0, 100));  // a partial last block
    EXPECT_EQ(aes(Aes256EcbDecrypt, key, dir / "cut", dir / "back"), -1);
    EXPECT_EQ(aes(Aes256EcbEncrypt, key, dir.path, dir / "back"), -1);  // a read error is not the end of the input
}

// ---- Converters

TEST(Base64Test, EncodeEqualsOpensslAndSingleLineTextDecodesBack) {
    TempDir dir;
    for (size_t size : {0, 1, 2, 3, 48, 49, 1000}) {
        SCOPED_TRACE(size);
        Bytes bytes = noise(size, 13);
        put(dir / "in", bytes);
        const Bytes peer = sh("openssl base64 -in " + dir / "in");
        std::vector<char> out(peer.size() + 1);  // exactly the room the header asks for
        EXPECT_EQ(base64_encode(bytes.data(), static_cast<int>(size), out.data()), static_cast<int>(peer.size()));
        EXPECT_EQ(Bytes(out.data()), peer);

        Bytes line = peer;
        line.erase(std::remove(line.begin(), line.end(), '\n'), line.end());
        std::vector<char> back(3 * ((line.size() + 3) / 4) + 1);
        EXPECT_EQ(base64_decode(line.data(), static_cast<int>(line.size()), back.data()), static_cast<int>(size));
        EXPECT_EQ(Bytes(back.data(), size + 1), bytes + '\0');
    }
}

TEST(Crc32Test, EqualsZlibAndChangesPolynomialOnlyWithMakeTable) {
    char check[] = "123456789";
    EXPECT_EQ(crc32(check, 9), 0xCBF43926u);
    Bytes data = noise(4200, 42);
    for (size_t offset : {0, 1, 3, 7}) {  // lengths around the 40-byte braid block, at each alignment
        for (int len : {1, 39, 40, 41, 79, 80, 81, 1000, 4191}) {
            const auto *p = reinterpret_cast<const Bytef *>(data.data() + offset);
            ASSERT_EQ(crc32(data.data() + offset, len), ::crc32(0L, p, static_cast<uInt>(len))) << offset << "+" << len;
        }
    }
    POLYNOMIAL = 0x82F63B78u;  // CRC-32C
    EXPECT_EQ(crc32(check, 9), 0xCBF43926u);
    make_table();
    EXPECT_EQ(crc32(check, 9), 0xE3069283u);
}

TEST(ConvertTest, EdgeInputsGiveSafeResults) {
    char text[40];
    for (int base : {-3, 0, 1, 37}) EXPECT_STREQ(itoa(12345, text, base), "") << "base " << base;
    EXPECT_STREQ(itoa(INT_MIN, text, 10), "-2147483648");
    EXPECT_STREQ(itoa(-1, text, 16), "FFFFFFFF");

    for (const char *invalid : {"!!!!", "YW!j", "YWJj!!!!"}) {
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(base64_decode(const_cast<char *>(invalid), static_cast<int>(strlen(invalid)), text), -1);
        EXPECT_STREQ(text, "") << invalid;
    }
    EXPECT_EQ(base64_decode(nullptr, 4, text), -1);

    // Exactly sized on the heap: a read past the count trips the address sanitizer.
    std::vector<unsigned char> words = {0x00, 0x64, 0xFF, 0x9C, 0x00, 0x64, 0x7F}, one = {0x12};
    unsigned char mx = 0xEE, mn = 0xEE, pmx = 0xEE, pmn = 0xEE;
    u8MaxAndMin(nullptr, 0, &mx, &mn, &pmx, &pmn);
    EXPECT_EQ(mx & mn & pmx & pmn, 0xEE) << "an empty buffer is neither read nor reported";
    unsigned short wmx = 0xEEEE, wmn = 0xEEEE, hundredth = 0xEEEE;
    u16MaxAndMin(one.data(), 1, &wmx, &wmn, &pmx, &pmn, &hundredth);
    EXPECT_EQ(wmx & wmn & hundredth, 0xEEEE) << "a single byte is no sample";
    u16MaxAndMin(words.data(), 7, &wmx, &wmn, &pmx, &pmn, &hundredth);  // the odd last byte is ignored
    EXPECT_EQ(std::vector<int>({wmx, pmx, wmn, pmn, hundredth}), (std::vector<int>{100, 1, 0xFF9C, 2, 1}));

    unsigned char roll[201], again[200];
    std::memset(roll, 'x', sizeof roll);
    EXPECT_EQ(GetRollNumber(nullptr, 4), 255);
    EXPECT_EQ(GetRollNumber(roll, static_cast<char>(200)), 0);  // the count is unsigned 8-bit
    EXPECT_TRUE(std::all_of(roll, roll + 200, [](unsigned char c) { return c >= '0' && c <= '9'; }));
    EXPECT_EQ(roll[200], 'x');
    EXPECT_EQ(GetRollNumber(again, static_cast<char>(200)), 0);
    EXPECT_NE(std::memcmp(roll, again, 200), 0) << "two calls within one second differ";
}

}  // namespace
