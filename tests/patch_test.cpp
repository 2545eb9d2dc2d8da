// BSDiffPatchFile against patches made by Debian's bsdiff, hand-made patches and hostile ones.
#include <bzlib.h>
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tbox/patch.h"

namespace {

using Bytes = std::string;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/patch_test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Names in the directory, so a test can see that nothing was left behind.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR *dir = opendir(path_.c_str());
        while (dirent *e = readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

void write_file(const std::string &path, const Bytes &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void bsdiff(const std::string &oldf, const std::string &newf, const std::string &patch) {
    const std::string cmd = "bsdiff '" + oldf + "' '" + newf + "' '" + patch + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// Runs BSDiffPatchFile with standard error captured.
struct Outcome {
    int result;
    std::string stderr_text;
};

Outcome patch(const char *oldf, const char *newf, const char *patchf) {
    std::fflush(stderr);
    FILE *capture = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(capture), STDERR_FILENO);
    const int result = BSDiffPatchFile(oldf, newf, patchf);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::rewind(capture);
    std::string text;
    for (int c; (c = std::fgetc(capture)) != EOF;) text += static_cast<char>(c);
    std::fclose(capture);
    return {result, text};
}

Outcome patch(const std::string &oldf, const std::string &newf, const std::string &patchf) {
    return patch(oldf.c_str(), newf.c_str(), patchf.c_str());
}

// The line err(3)/errx(3) would print: "<program>: <message>[: <error text>]\n".
std::string diag(const std::string &message) {
    return std::string(program_invocation_short_name) + ": " + message + "\n";
}
std::string diag(const std::string &message, int error) { return diag(message + ": " + std::strerror(error)); }
const std::string kCorrupt = diag("Corrupt patch\n");

// A patch integer: sign and magnitude, little-endian, sign in bit 7 of the last byte.
Bytes offout(int64_t v) {
    const uint64_t magnitude = static_cast<uint64_t>(v < 0 ? -v : v);
    Bytes out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((magnitude >> (8 * i)) & 0xFF);
    if (v < 0) out[7] = static_cast<char>(out[7] | 0x80);
    return out;
}

Bytes bz(const Bytes &raw) {
    std::vector<char> out(raw.size() + raw.size() / 100 + 600);
    unsigned len = static_cast<unsigned>(out.size());
    const int rc = BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char *>(raw.data()),
                                            static_cast<unsigned>(raw.size()), 9, 0, 0);
    EXPECT_EQ(rc, BZ_OK);
    return Bytes(out.data(), len);
}

struct Triple {
    int64_t x, y, z;
};

Bytes control(const std::vector<Triple> &triples) {
    Bytes raw;
    for (const auto &t : triples) raw += offout(t.x) + offout(t.y) + offout(t.z);
    return raw;
}

// Assembles a patch from the raw (uncompressed) control, difference and extra blocks.
Bytes make_patch(int64_t new_size, const Bytes &ctrl_raw, const Bytes &diff_raw, const Bytes &extra_raw) {
    const Bytes c = bz(ctrl_raw), d = bz(diff_raw), e = bz(extra_raw);
    return "BSDIFF40" + offout(static_cast<int64_t>(c.size())) + offout(static_cast<int64_t>(d.size())) +
           offout(new_size) + c + d + e;
}

Bytes pseudo_random(size_t n, uint32_t seed) {
    Bytes out(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out[i] = static_cast<char>(seed >> 24);
    }
    return out;
}

// --- round trips with Debian's bsdiff ------------------------------------------------------------------

class BsdiffRoundTrip : public ::testing::Test {
protected:
    // bsdiff old -> new; BSDiffPatchFile must rebuild new byte for byte, silently, leaving no temporary.
    void round_trip(const std::string &oldf, const std::string &newf) {
        bsdiff(oldf, newf, dir.file("patch"));
        const Outcome o = patch(oldf, dir.file("out"), dir.file("patch"));
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.stderr_text, "");
        EXPECT_TRUE(read_file(dir.file("out")) == read_file(newf)) << "rebuilt file differs";
        for (const auto &name : dir.entries()) EXPECT_EQ(name.rfind(".bspatch", 0), std::string::npos) << name;
    }
    void round_trip_data(const Bytes &old_data, const Bytes &new_data) {
        write_file(dir.file("old"), old_data);
        write_file(dir.file("new"), new_data);
        round_trip(dir.file("old"), dir.file("new"));
    }
    TempDir dir;
};

TEST_F(BsdiffRoundTrip, SmallFilesAndAModifiedCopy) {
    round_trip_data("hello, old world\n", "hello, brave new world\n");
    round_trip_data(Bytes(1, '\0'), Bytes(3, '\xff'));
    Bytes old_data = pseudo_random(300000, 7), new_data = old_data;
    for (size_t i = 0; i < new_data.size(); i += 997) new_data[i] = static_cast<char>(new_data[i] + 3);
    new_data.insert(120000, pseudo_random(5000, 9));
    new_data.erase(200000, 7000);
    round_trip_data(old_data, new_data);
}

// Two different real binaries, a few MiB between them.
TEST_F(BsdiffRoundTrip, DifferentSystemLibraries) {
    const char *candidates[][2] = {
        {"/usr/lib/x86_64-linux-gnu/libcrypto.so.3", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6"},
        {"/usr/bin/cmake", "/usr/bin/ctest"},
    };
    for (const auto &pair : candidates) {
        if (exists(pair[0]) && exists(pair[1])) return round_trip(pair[0], pair[1]);
    }
    GTEST_SKIP() << "no pair of system binaries found";
}

TEST_F(BsdiffRoundTrip, ReplacesAnExistingNewFileOrTheOldFileItself) {
    write_file(dir.file("old"), "version 1 of the package");
    write_file(dir.file("new"), "version 2 of the package, a little longer");
    write_file(dir.file("out"), "stale contents that are much longer than the result ...............");
    const mode_t previous = umask(022);
    round_trip(dir.file("old"), dir.file("new"));
    umask(previous);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    EXPECT_EQ(patch(dir.file("old"), dir.file("old"), dir.file("patch")).result, 0);
    EXPECT_EQ(read_file(dir.file("old")), read_file(dir.file("new")));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"new", "old", "out", "patch"}));
}

// --- hand-made patches (Debian's bsdiff refuses empty files: it cannot map them) ---------------------------

TEST(BSDiffPatchFileTest, AppliesHandMadePatches) {
    EXPECT_EQ(offout(-5), Bytes("\x05\0\0\0\0\0\0\x80", 8));
    // Each triple adds 1 byte and moves by +/- (2^31 - 1): old positions run far past 32 bits both ways.
    std::vector<Triple> far;
    for (int i = 0; i < 200; ++i) far.push_back({1, 0, i < 100 ? 2147483647 : -2147483647});
    struct Case {
        const char *what;
        Bytes old_data, patch, expected;
    } const cases[] = {
        {"empty to empty", "", make_patch(0, "", "", ""), ""},
        {"to empty", "some old contents", make_patch(0, "", "", ""), ""},
        {"from empty: no old bytes to add", "", make_patch(7, control({{3, 4, 0}}), "abc", "defg"), "abcdefg"},
        // 3 bytes over old[0..2], extra "xy", back 5 to old position -2; 4 bytes over old[-2..1], of
        // which the first two have no old byte; then far past the end, where bytes are kept as they are.
        {"negative and far moves", "ABCDEFGHIJ",
         make_patch(12, control({{3, 2, -5}, {4, 0, 2147483647}, {2, 1, 0}}),
                    Bytes("\0\0\x01\x05\x06\x01\x01pq", 9), "xyz"),
         Bytes("ABDxy\x05\x06" "BCpqz", 12)},
        {"positions beyond 32 bits", "A", make_patch(200, control(far), Bytes(200, '\x01'), ""),
         "B" + Bytes(199, '\x01')},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir.file("old"), c.old_data);
        write_file(dir.file("patch"), c.patch);
        unlink(dir.file("new").c_str());
        const Outcome o = patch(dir.file("old"), dir.file("new"), dir.file("patch"));
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.stderr_text, "");
        EXPECT_TRUE(exists(dir.file("new")));
        EXPECT_EQ(read_file(dir.file("new")), c.expected);
    }
}

// --- corrupt and hostile patches -------------------------------------------------------------------------

struct BadPatch {
    const char *what;
    Bytes bytes;
};

std::vector<BadPatch> corrupt_patches() {
    const Bytes ok_diff = "abcd", ok_extra = "ef";
    const Bytes good = make_patch(6, control({{4, 2, 0}}), ok_diff, ok_extra);
    std::vector<BadPatch> cases = {
        {"empty file", ""},
        {"31 bytes", good.substr(0, 31)},
        {"bad magic", "BSDIFF41" + good.substr(8)},
        {"negative control length", "BSDIFF40" + offout(-1) + good.substr(16)},
        {"negative difference length", good.substr(0, 16) + offout(-1) + good.substr(24)},
        {"negative new size", good.substr(0, 24) + offout(-6) + good.substr(32)},
        {"x runs past the new size", make_patch(3, control({{4, 0, 0}}), ok_diff, "")},
        {"y runs past the new size", make_patch(5, control({{4, 2, 0}}), ok_diff, ok_extra)},
        {"control ends before the new size", make_patch(9, control({{4, 2, 0}}), ok_diff, ok_extra)},
        {"difference block too short", make_patch(6, control({{4, 2, 0}}), "abc", ok_extra)},
        {"extra block too short", make_patch(6, control({{4, 2, 0}}), ok_diff, "e")},
        {"control block not bzip2", good.substr(0, 32) + "garbage!" + good.substr(40)},
        {"truncated inside the extra block's data", good.substr(0, good.size() - bz(ok_extra).size() + 14)},
        // Hostile values.
        {"negative x", make_patch(6, control({{-4, 10, 0}}), ok_diff, ok_extra)},
        {"negative y", make_patch(6, control({{4, -2, 0}}), ok_diff, ok_extra)},
        {"x of 2^31", make_patch(6, control({{int64_t{1} << 31, 0, 0}}), ok_diff, ok_extra)},
        {"x of 2^32 + 4 (low 32 bits look fine)",
         make_patch(6, control({{(int64_t{1} << 32) + 4, 2, 0}}), ok_diff, ok_extra)},
        {"z of -2^40", make_patch(6, control({{4, 2, -(int64_t{1} << 40)}}), ok_diff, ok_extra)},
        {"new size of 2^31", good.substr(0, 24) + offout(int64_t{1} << 31) + good.substr(32)},
        {"new size of 2^63 - 1", good.substr(0, 24) + offout(INT64_MAX) + good.substr(32)},
        {"control length past the end of the file", "BSDIFF40" + offout(int64_t{1} << 20) + good.substr(16)},
        {"difference block past the end of the file",
         good.substr(0, 16) + offout(static_cast<int64_t>(good.size())) + good.substr(24)},
        {"more triples than new size + 1",
         make_patch(3, control({{0, 0, 1}, {1, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0, 0, 1}, {1, 0, 0}}), "abc", "")},
        {"two empty triples in a row", make_patch(6, control({{0, 0, 1}, {0, 0, 1}, {4, 2, 0}}), ok_diff, ok_extra)},
    };
    // 100000 empty triples in a few hundred bytes, claiming the largest new size.
    cases.push_back({"bzip2 bomb of empty triples", make_patch(INT32_MAX, Bytes(24 * 100000, '\0'), "", "")});
    return cases;
}

TEST(BSDiffPatchFileTest, CorruptAndHostilePatchesFailWithoutTouchingTheNewFile) {
    TempDir dir;
    write_file(dir.file("old"), "0123456789");
    for (const auto &c : corrupt_patches()) {
        SCOPED_TRACE(c.what);
        write_file(dir.file("patch"), c.bytes);
        write_file(dir.file("new"), "previous contents");
        const Outcome o = patch(dir.file("old"), dir.file("new"), dir.file("patch"));
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.stderr_text, kCorrupt);
        EXPECT_EQ(read_file(dir.file("new")), "previous contents");
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"new", "old", "patch"}));
    }
}

TEST(BSDiffPatchFileTest, TruncatedRealPatchesFailAndLeaveNoNewFile) {
    TempDir dir;
    const Bytes old_data = pseudo_random(20000, 3);
    Bytes new_data = old_data;
    for (size_t i = 0; i < new_data.size(); i += 101) new_data[i] = 'x';
    write_file(dir.file("old"), old_data);
    write_file(dir.file("target"), new_data);
    bsdiff(dir.file("old"), dir.file("target"), dir.file("full"));
    const Bytes full = read_file(dir.file("full"));
    // Cuts that lose data (losing only a stream's end-of-stream trailer loses none: block CRCs
    // have checked everything that was used, and the result is exact).
    const size_t ctrl_len = static_cast<unsigned char>(full[8]) | static_cast<unsigned char>(full[9]) << 8;
    const size_t diff_len = static_cast<unsigned char>(full[16]) | static_cast<unsigned char>(full[17]) << 8;
    for (size_t cut : {size_t{0}, size_t{20}, size_t{40}, 32 + ctrl_len / 2, 32 + ctrl_len + diff_len / 2}) {
        SCOPED_TRACE(cut);
        write_file(dir.file("patch"), full.substr(0, cut));
        const Outcome o = patch(dir.file("old"), dir.file("new"), dir.file("patch"));
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.stderr_text, kCorrupt);
        EXPECT_FALSE(exists(dir.file("new")));
    }
    // Flipping a byte in the middle of a block breaks its bzip2 CRC.
    Bytes flipped = full;
    flipped[full.size() / 2] = static_cast<char>(flipped[full.size() / 2] ^ 0x40);
    write_file(dir.file("patch"), flipped);
    EXPECT_EQ(patch(dir.file("old"), dir.file("new"), dir.file("patch")).stderr_text, kCorrupt);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"full", "old", "patch", "target"}));
}

TEST(BSDiffPatchFileTest, SystemErrorsNameTheFileAndTheError) {
    TempDir dir;
    write_file(dir.file("old"), "old");
    write_file(dir.file("patch"), make_patch(2, control({{0, 2, 0}}), "", "ok"));

    Outcome o = patch(dir.file("old"), dir.file("new"), dir.file("missing"));
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.stderr_text, diag("fopen(" + dir.file("missing") + ")", ENOENT));

    o = patch(dir.file("missing"), dir.file("new"), dir.file("patch"));
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.stderr_text, diag(dir.file("missing"), ENOENT));

    mkdir(dir.file("subdir").c_str(), 0755);
    o = patch(dir.file("subdir"), dir.file("new"), dir.file("patch"));
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.stderr_text, diag(dir.file("subdir"), EISDIR));

    o = patch(dir.file("old"), dir.file("nodir/new"), dir.file("patch"));
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.stderr_text, diag(dir.file("nodir/new"), ENOENT));

    // Renaming over a directory fails only at the very end: the temporary file must go.
    mkdir(dir.file("taken").c_str(), 0755);
    o = patch(dir.file("old"), dir.file("taken"), dir.file("patch"));
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.stderr_text, diag(dir.file("taken"), EISDIR));

    o = patch(nullptr, dir.file("new").c_str(), dir.file("patch").c_str());
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.stderr_text, diag("BSDiffPatchFile", EINVAL));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"old", "patch", "subdir", "taken"}));

    o = patch(dir.file("old"), dir.file("new"), dir.file("patch"));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(read_file(dir.file("new")), "ok");
}

}  // namespace
