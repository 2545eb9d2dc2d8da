// BSDiffPatchFile against patches made by Debian's bsdiff, hand-made patches and hostile ones.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_files.h"
#include "tbox/patch.h"

namespace {

using namespace tbox::test;
using Bytes = std::string;
using Outcome = std::pair<int, std::string>;  // result and what was written to standard error

Outcome patch(const std::string &oldf, const std::string &newf, const std::string &patchf, bool null_old = false) {
    testing::internal::CaptureStderr();
    const int result = BSDiffPatchFile(null_old ? nullptr : oldf.c_str(), newf.c_str(), patchf.c_str());
    return {result, testing::internal::GetCapturedStderr()};
}

// The line err(3)/errx(3) would print: "<program>: <message>[: <error text>]\n".
std::string diag(const std::string &message) {
    return program_invocation_short_name + (": " + message + "\n");
}
std::string diag(const std::string &message, int error) {
    return diag(message + ": " + std::strerror(error));
}
const Outcome kOk{0, ""}, kCorrupt{-1, diag("Corrupt patch\n")};

void bsdiff(const std::string &oldf, const std::string &newf, const std::string &patchf) {
    const std::string cmd = "bsdiff '" + oldf + "' '" + newf + "' '" + patchf + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// A patch integer: magnitude little-endian, sign in bit 7 of the last byte.
Bytes offout(int64_t v) {
    Bytes out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(static_cast<uint64_t>(v < 0 ? -v : v) >> (8 * i));
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
// A patch from the control triples and the raw (uncompressed) difference and extra blocks.
Bytes make_patch(int64_t new_size, const std::vector<Triple> &triples, const Bytes &diff = "abcd",
                 const Bytes &extra = "ef") {
    Bytes ctrl;
    for (const auto &t : triples) ctrl += offout(t.x) + offout(t.y) + offout(t.z);
    const Bytes c = bz(ctrl), d = bz(diff), e = bz(extra);
    return "BSDIFF40" + offout(static_cast<int64_t>(c.size())) + offout(static_cast<int64_t>(d.size())) +
           offout(new_size) + c + d + e;
}

// The patch with the header field at byte `at` (8, 16 or 24) set to v.
Bytes with_field(Bytes patch_bytes, size_t at, int64_t v) {
    return patch_bytes.replace(at, 8, offout(v));
}

// bsdiff old -> new, then BSDiffPatchFile must replace "out" by new byte for byte, silently, with mode 0666 less
// the umask, leaving no temporary file. (Debian's bsdiff refuses empty files: it cannot map them.) Diffs of
// files outside `dir` come after some in it, so old and new are always there.
void round_trip(const TempDir &dir, const std::string &oldf, const std::string &newf) {
    bsdiff(oldf, newf, dir.file("patch"));
    write_file(dir.file("out"), "stale contents, longer than some of the results .............");
    EXPECT_EQ(patch(oldf, dir.file("out"), dir.file("patch")), kOk);
    EXPECT_TRUE(read_file(dir.file("out")) == read_file(newf)) << "rebuilt file differs";
    struct stat st {};
    EXPECT_EQ(stat(dir.file("out").c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0640u);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"new", "old", "out", "patch"}));
}

TEST(BSDiffPatchFileTest, RebuildsWhatBsdiffDiffed) {
    TempDir dir;
    umask(027);
    Bytes modified = pseudo_random(300000, 7);
    for (size_t i = 0; i < modified.size(); i += 997) modified[i] = static_cast<char>(modified[i] + 3);
    modified.insert(120000, pseudo_random(5000, 9)).erase(200000, 7000);
    const std::pair<Bytes, Bytes> pairs[] = {{"hello, old world\n", "hello, brave new world\n"},
                                             {Bytes(1, '\0'), Bytes(3, '\xff')},
                                             {pseudo_random(300000, 7), modified}};
    for (const auto &[old_data, new_data] : pairs) {
        write_file(dir.file("old"), old_data);
        write_file(dir.file("new"), new_data);
        round_trip(dir, dir.file("old"), dir.file("new"));
    }
    EXPECT_EQ(patch(dir.file("old"), dir.file("old"), dir.file("patch")), kOk);  // over the old file itself
    EXPECT_TRUE(read_file(dir.file("old")) == modified);

    // Two different real binaries, a few MiB between them.
    const std::string lib = "/usr/lib/x86_64-linux-gnu/lib";
    if (access((lib + "crypto.so.3").c_str(), R_OK) != 0) GTEST_SKIP() << "no libcrypto.so.3 to diff";
    round_trip(dir, lib + "crypto.so.3", lib + "stdc++.so.6");
}

TEST(BSDiffPatchFileTest, AppliesHandMadePatches) {
    // Each triple adds 1 byte and moves by +/- (2^31 - 1): old positions run far past 32 bits both ways.
    std::vector<Triple> far;
    for (int i = 0; i < 200; ++i) far.push_back({1, 0, i < 100 ? INT32_MAX : -INT32_MAX});
    const struct {
        const char *what;
        Bytes old_data, patch, expected;
    } cases[] = {
        {"to empty", "some old contents", make_patch(0, {}, "", ""), ""},
        {"from empty: no old bytes to add", "", make_patch(7, {{3, 4, 0}}, "abc", "defg"), "abcdefg"},
        // 3 bytes over old[0..2], extra "xy", back 5 to old position -2; 4 bytes over old[-2..1], of
        // which the first two have no old byte; then far past the end, where bytes are kept as they are.
        {"negative and far moves", "ABCDEFGHIJ",
         make_patch(12, {{3, 2, -5}, {4, 0, INT32_MAX}, {2, 1, 0}}, Bytes("\0\0\x01\x05\x06\x01\x01pq", 9), "xyz"),
         Bytes("ABDxy\x05\x06"
               "BCpqz",
               12)},
        {"positions beyond 32 bits", "A", make_patch(200, far, Bytes(200, '\x01'), ""), "B" + Bytes(199, '\x01')},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir.file("old"), c.old_data);
        write_file(dir.file("patch"), c.patch);
        unlink(dir.file("new").c_str());
        EXPECT_EQ(patch(dir.file("old"), dir.file("new"), dir.file("patch")), kOk);
        EXPECT_EQ(access(dir.file("new").c_str(), F_OK), 0);
        EXPECT_EQ(read_file(dir.file("new")), c.expected);
    }
}

TEST(BSDiffPatchFileTest, CorruptAndHostilePatchesFailWithoutTouchingTheNewFile) {
    TempDir dir;
    Bytes target = pseudo_random(20000, 3);
    write_file(dir.file("old"), target);
    for (size_t i = 0; i < target.size(); i += 101) target[i] = 'x';
    write_file(dir.file("target"), target);
    bsdiff(dir.file("old"), dir.file("target"), dir.file("real"));
    const Bytes real = read_file(dir.file("real")), good = make_patch(6, {{4, 2, 0}});
    Bytes flipped = real;
    flipped[real.size() / 2] = static_cast<char>(flipped[real.size() / 2] ^ 0x40);  // breaks a block CRC
    const int64_t k2p31 = int64_t{1} << 31, k2p32 = int64_t{1} << 32;
    const std::pair<const char *, Bytes> cases[] = {
        {"empty file", ""},
        {"31 bytes", good.substr(0, 31)},
        {"bad magic", "BSDIFF41" + good.substr(8)},
        {"negative control length", with_field(good, 8, -1)},
        {"negative difference length", with_field(good, 16, -1)},
        {"negative new size", with_field(good, 24, -6)},
        {"new size of 2^31", with_field(good, 24, k2p31)},
        {"new size of 2^32 + 6 (low 32 bits look fine)", with_field(good, 24, k2p32 + 6)},
        {"control length past the end of the file", with_field(good, 8, 1 << 20)},
        {"difference block past the end of the file", with_field(good, 16, static_cast<int64_t>(good.size()))},
        {"block lengths whose sum overflows", with_field(with_field(good, 8, INT64_MAX), 16, INT64_MAX)},
        {"x runs past the new size", make_patch(3, {{4, 0, 0}}, "abcd", "")},
        {"y runs past the new size", make_patch(5, {{4, 2, 0}})},
        {"control ends before the new size", make_patch(9, {{4, 2, 0}})},
        {"difference block too short", make_patch(6, {{4, 2, 0}}, "abc")},
        {"extra block too short", make_patch(6, {{4, 2, 0}}, "abcd", "e")},
        {"control block not bzip2", good.substr(0, 32) + "garbage!" + good.substr(40)},
        {"negative x", make_patch(6, {{-4, 10, 0}})},
        {"negative y", make_patch(6, {{4, -2, 0}})},
        {"x of 2^31", make_patch(6, {{k2p31, 0, 0}})},
        {"x of 2^32 + 4 (low 32 bits look fine)", make_patch(6, {{k2p32 + 4, 2, 0}})},
        {"z of -2^40", make_patch(6, {{4, 2, -(int64_t{1} << 40)}})},
        {"more triples than new size + 1",
         make_patch(3, {{0, 0, 1}, {1, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0, 0, 1}, {1, 0, 0}}, "abc", "")},
        {"two empty triples in a row", make_patch(6, {{0, 0, 1}, {0, 0, 1}, {4, 2, 0}})},
        // 100000 empty triples in a few hundred bytes, claiming the largest new size.
        {"bzip2 bomb of empty triples", make_patch(INT32_MAX, std::vector<Triple>(100000), "", "")},
        {"cut inside the extra block's data", good.substr(0, good.size() - bz("ef").size() + 14)},
        {"real patch cut in half", real.substr(0, real.size() / 2)},
        {"real patch with a flipped byte", flipped},
    };
    for (const auto &[what, bytes] : cases) {
        SCOPED_TRACE(what);
        write_file(dir.file("patch"), bytes);
        write_file(dir.file("new"), "previous contents");
        EXPECT_EQ(patch(dir.file("old"), dir.file("new"), dir.file("patch")), kCorrupt);
        EXPECT_EQ(read_file(dir.file("new")), "previous contents");
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"new", "old", "patch", "real", "target"}));
    }
}

TEST(BSDiffPatchFileTest, SystemErrorsNameTheFileAndTheError) {
    TempDir dir;
    const std::string old = dir.file("old"), newf = dir.file("new"), patchf = dir.file("patch");
    const std::string missing = dir.file("missing"), sub = dir.file("subdir"), nodir = dir.file("nodir/new");
    write_file(old, "old");
    write_file(patchf, make_patch(2, {{0, 2, 0}}, "", "ok"));
    mkdir(sub.c_str(), 0755);
    EXPECT_EQ(patch(old, newf, missing), Outcome(-1, diag("fopen(" + missing + ")", ENOENT)));
    EXPECT_EQ(patch(missing, newf, patchf), Outcome(-1, diag(missing, ENOENT)));
    EXPECT_EQ(patch(sub, newf, patchf), Outcome(-1, diag(sub, EISDIR)));
    EXPECT_EQ(patch(old, nodir, patchf), Outcome(-1, diag(nodir, ENOENT)));
    // The rename fails only at the very end: the temporary file must go.
    EXPECT_EQ(patch(old, sub, patchf), Outcome(-1, diag(sub, EISDIR)));
    EXPECT_EQ(patch(old, newf, patchf, true), Outcome(-1, diag("BSDiffPatchFile", EINVAL)));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"old", "patch", "subdir"}));
    EXPECT_EQ(patch(old, newf, patchf), kOk);  // the failures above were the paths' alone
    EXPECT_EQ(read_file(newf), "ok");
}

}  // namespace
