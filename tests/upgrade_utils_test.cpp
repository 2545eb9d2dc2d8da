// Upgrade utilities against real peers: Debian's bsdiff, md5sum, sha256sum, the openssl tool and zlib.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <tbox/cipher.h>
#include <tbox/convert.h>
#include <tbox/digest.h>
#include <tbox/patch.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {
namespace fs = std::filesystem;
using Bytes = std::string;
// A fresh directory under /tmp, removed with its contents at the end of the scope.
struct TempDir {
    char tmpl[22] = "/tmp/tbox_util.XXXXXX";
    std::string path = mkdtemp(tmpl);
    ~TempDir() { fs::remove_all(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    long entries() const { return std::distance(fs::directory_iterator(path), fs::directory_iterator()); }
};
void put(const std::string &path, const Bytes &data) {
    std::ofstream(path, std::ios::binary) << data;
}
Bytes get(const std::string &path) {
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}
void run(const std::string &command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}
// n reproducible bytes without structure for a compressor or a differ to exploit.
Bytes noise(size_t n, unsigned seed) {
    std::minstd_rand random(seed);
    Bytes out(n, '\0');
    for (auto &c : out) c = static_cast<char>(random() >> 8);
    return out;
}
// A patch integer: magnitude little-endian (as this x86-64 host stores it), sign in bit 63.
Bytes offout(int64_t v) {
    const uint64_t bits = v < 0 ? (0 - static_cast<uint64_t>(v)) | (uint64_t{1} << 63) : v;
    return Bytes(reinterpret_cast<const char *>(&bits), 8);
}
Bytes bz(const Bytes &raw) {
    std::vector<char> out(raw.size() + raw.size() / 100 + 600);
    auto len = static_cast<unsigned>(out.size());
    BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char *>(raw.data()), raw.size(), 9, 0, 0);
    return Bytes(out.data(), len);
}
// A patch from its control values (triples x, y, z) and the raw difference and extra blocks. The header holds
// the magic, then at byte 8 the control block's length, at 16 the difference block's length, at 24 the new size.
Bytes make_patch(int64_t size, const std::vector<int64_t> &ctrl, const Bytes &diff, const Bytes &extra) {
    Bytes raw;
    for (int64_t v : ctrl) raw += offout(v);
    const Bytes c = bz(raw);
    const Bytes d = bz(diff);
    return "BSDIFF40" + offout(c.size()) + offout(d.size()) + offout(size) + c + d + bz(extra);
}

TEST(BSDiffPatchFileTest, RebuildsWhatBsdiffDiffedByteForByte) {
    TempDir dir;
    put(dir / "a", "hello, old world\n");
    put(dir / "b", "hello, brave new world\n");
    const std::string lib = "/usr/lib/x86_64-linux-gnu/lib";  // two real binaries, a few MiB apart
    for (const auto &[oldf, newf] : {std::pair(dir / "a", dir / "b"), {lib + "crypto.so.3", lib + "stdc++.so.6"}}) {
        SCOPED_TRACE(newf);
        run("bsdiff " + oldf + " " + newf + " " + dir / "patch");
        put(dir / "new", "stale contents");
        ASSERT_EQ(BSDiffPatchFile(oldf.c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), 0);
        EXPECT_TRUE(get(dir / "new") == get(newf)) << "rebuilt file differs";
        EXPECT_EQ(dir.entries(), 4) << "a temporary file was left";
    }
}

TEST(BSDiffPatchFileTest, HostileOrCorruptPatchesFailAndLeaveTheNewFileAlone) {
    TempDir dir;
    put(dir / "old", "hello, old world\n");
    const Bytes good = make_patch(6, {4, 2, 0}, "abcd", "ef");
    put(dir / "patch", good);  // the base applies, so each row below fails for its own reason
    ASSERT_EQ(BSDiffPatchFile((dir / "old").c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), 0);
    const struct {
        const char *what;
        Bytes patch;
    } cases[] = {
        {"31 bytes", good.substr(0, 31)},
        {"bad magic", "BSDIFF41" + good.substr(8)},
        {"negative control length", Bytes(good).replace(8, 8, offout(-1))},
        {"control length past the end of the file", Bytes(good).replace(8, 8, offout(1 << 20))},
        {"new size of 2^32 + 6", Bytes(good).replace(24, 8, offout((int64_t{1} << 32) + 6))},
        {"negative y", make_patch(6, {4, -2, 0}, "abcd", "ef")},
        {"x of 2^32 + 4", make_patch(6, {(int64_t{1} << 32) + 4, 2, 0}, "abcd", "ef")},
        {"z of -2^40", make_patch(6, {4, 2, -(int64_t{1} << 40)}, "abcd", "ef")},
        {"x runs past the new size", make_patch(3, {4, 0, 0}, "abcd", "")},
        {"y runs past the new size", make_patch(5, {4, 2, 0}, "abcd", "ef")},
        {"bzip2 bomb of empty triples", make_patch(1 << 30, std::vector<int64_t>(300000), "", "")},
        {"cut in half", good.substr(0, good.size() / 2)},
        {"a flipped byte in a bzip2 block", Bytes(good).replace(good.size() / 2, 1, 1, good[good.size() / 2] ^ 0x40)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        put(dir / "patch", c.patch);
        put(dir / "new", "previous contents");
        EXPECT_EQ(BSDiffPatchFile((dir / "old").c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), -1);
        EXPECT_EQ(get(dir / "new"), "previous contents");
        EXPECT_EQ(dir.entries(), 3) << "a temporary file was left";
    }
}

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
