// BSDiffPatchFile against Debian's bsdiff, and hostile patches made by hand.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <tbox/patch.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
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
        take_sync_calls();
        ASSERT_EQ(BSDiffPatchFile((dir / "a").c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), 0);
        EXPECT_TRUE(get(dir / "new") == newData) << "rebuilt file differs";
        // Written without a name, on disk before it takes the final one, and the new entry on disk too.
        EXPECT_EQ(take_sync_calls(), (std::vector<std::string>{"create 600", "fsync new file", "rename " + dir / "new",
                                                               "fsync dir " + dir.path}));
        EXPECT_EQ(dir.entries(), 4) << "a temporary file was left";
    }
}

// A patch killed while writing left its temporary file; the next one removes those of its own exact pattern
// that nobody touched for a minute, and nothing else. Where the file system has no unnamed files, the
// temporary is named from the start, but still private (0600) until it gets the final mode.
TEST(BSDiffPatchFileTest, StaleTemporariesOfItsPatternGoAndTheNewFileGetsTheModeOfAPlainCreation) {
    TempDir dir;
    put(dir / "old", "hello, old world\n");
    put(dir / "patch", make_patch(6, {4, 2, 0}, Bytes(4, '\0'), "ef"));
    const std::string stale[] = {".bspatch-123-4-5ab", ".bspatch-1-0-0"};
    const std::string kept[] = {".bspatch-123-4-5AB", ".bspatch-123-4", ".bspatch-x-4-5ab", "bspatch-1-0-0",
                                ".bspatch-9-9-9.tgz"};
    for (const std::string &name : stale) put(dir / name, "killed");
    for (const std::string &name : kept) put(dir / name, "someone else's");
    put(dir / ".bspatch-77-1-1", "written a moment ago");
    ASSERT_EQ(mkdir((dir / ".bspatch-2-2-2").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "old").c_str(), (dir / ".bspatch-3-3-3").c_str()), 0);
    const timespec minuteAgo[2] = {{time(nullptr) - 61, 0}, {time(nullptr) - 61, 0}};
    for (const char *name :
         {".bspatch-123-4-5ab", ".bspatch-1-0-0", ".bspatch-123-4-5AB", ".bspatch-123-4", ".bspatch-x-4-5ab",
          "bspatch-1-0-0", ".bspatch-9-9-9.tgz", ".bspatch-2-2-2", ".bspatch-3-3-3"}) {
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / name).c_str(), minuteAgo, AT_SYMLINK_NOFOLLOW), 0) << name;
    }
    const timespec justAMinuteAgo[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};  // stale already
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / ".bspatch-1-0-0").c_str(), justAMinuteAgo, 0), 0);
    const mode_t mask = umask(027);
    g_sync.tmpfile_refused = true;
    take_sync_calls();
    EXPECT_EQ(BSDiffPatchFile((dir / "old").c_str(), (dir / "new").c_str(), (dir / "patch").c_str()), 0);
    g_sync.tmpfile_refused = false;
    umask(mask);
    EXPECT_EQ(take_sync_calls(), (std::vector<std::string>{"create 600", "create 600", "fsync file",
                                                           "rename " + dir / "new", "fsync dir " + dir.path}));
    EXPECT_EQ(get(dir / "new"), "hellef");
    struct stat st {};
    ASSERT_EQ(stat((dir / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    for (const std::string &name : stale) EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
    for (const std::string &name : kept) EXPECT_EQ(get(dir / name), "someone else's") << name;
    EXPECT_EQ(get(dir / ".bspatch-77-1-1"), "written a moment ago");
    EXPECT_TRUE(std::filesystem::is_directory(dir / ".bspatch-2-2-2"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / ".bspatch-3-3-3"));
    EXPECT_EQ(dir.entries(), 3 + 5 + 3);  // old, patch, new; the kept ones; fresh, directory, link
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
        {"z of 2^31, one past the largest", make_patch(6, {4, 2, int64_t{1} << 31}, "abcd", "ef")},
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
