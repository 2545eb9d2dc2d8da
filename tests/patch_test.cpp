// BSDiffPatchFile against Debian's bsdiff, and hostile patches made by hand.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <tbox/patch.h>

#include <vector>

#include "support/files.h"

namespace {
using namespace tbox::test;

// A patch integer: magnitude little-endian, sign in bit 63.
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

// A few MiB of old bytes, and a new version with edits, a removed run and inserted bytes, as a release
// would bring.
std::pair<Bytes, Bytes> release_pair() {
    Bytes old = noise(3 << 20, 7);
    Bytes next = old;
    for (size_t at = 4096; at < next.size(); at += 65521) next[at] = static_cast<char>(next[at] ^ 0x5A);
    next.erase(1 << 20, 70000);
    next.insert(2 << 20, noise(123457, 8));
    return {old, next};
}

// Calls the library makes on the new file, in order: it must be on disk before it takes the final name.
std::string g_calls;
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
    g_calls += "fsync ";
    return __real_fsync(fd);
}
extern "C" int __real_rename(const char *from, const char *to);
extern "C" int __wrap_rename(const char *from, const char *to) {
    g_calls += "rename ";
    return __real_rename(from, to);
}

TEST(BSDiffPatchFileTest, RebuildsWhatBsdiffDiffedByteForByteSyncedBeforeRename) {
    TempDir dir;
    const auto [oldBytes, newBytes] = release_pair();
    const std::pair<Bytes, Bytes> pairs[] = {{"hello, old world\n", "hello, brave new world\n"}, {oldBytes, newBytes}};
    for (const auto &[oldData, newData] : pairs) {
        SCOPED_TRACE(newData.size());
        put(dir / "a", oldData);
        put(dir / "b", newData);
        run("bsdiff " + dir / "a" + " " + dir / "b" + " " + dir / "patch");
        put(dir / "new", "stale contents");
        g_calls.clear();
        ASSERT_EQ(BSDiffPatchFile((dir / "a").c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), 0);
        EXPECT_TRUE(get(dir / "new") == newData) << "rebuilt file differs";
        EXPECT_EQ(g_calls, "fsync rename ");
        EXPECT_EQ(dir.entries(), 4) << "a temporary file was left";
    }
}

// Difference runs may start before or end after the old file: outside it only the difference bytes count.
TEST(BSDiffPatchFileTest, RunsCrossingTheOldFilesEdgesAddOnlyTheBytesInside) {
    TempDir dir;
    put(dir / "old", "hello");
    const struct {
        const char *what;
        Bytes patch;
        Bytes expected;
    } cases[] = {
        {"run past the end", make_patch(8, {8, 0, 0}, Bytes(8, 1), ""), "ifmmp\1\1\1"},
        {"run before the start", make_patch(4, {0, 0, -2, 4, 0, 0}, Bytes(4, 1), ""), Bytes("\1\1if")},
        {"empty triples apart", make_patch(4, {0, 0, 1, 2, 0, 0, 0, 0, -1, 2, 0, 0}, Bytes(4, 0), ""), "elll"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        put(dir / "patch", c.patch);
        ASSERT_EQ(BSDiffPatchFile((dir / "old").c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), 0);
        EXPECT_EQ(get(dir / "new"), c.expected);
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
        {"two empty triples in a row", make_patch(6, {0, 0, 0, 0, 0, 0, 4, 2, 0}, "abcd", "ef")},
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

}  // namespace
