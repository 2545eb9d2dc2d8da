// Fuzzes BSDiffPatchFile with patch bytes against a fixed old file.
// Besides the sanitizers, checks that a patch either produces exactly the size its header claims or
// fails leaving nothing behind (no new file, no temporary file).
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tbox/patch.h"

namespace {

// The old file the seed corpus was made against: "The quick brown fox jumps over the lazy dog. " x 6.
std::string old_contents() {
    std::string s;
    for (int i = 0; i < 6; ++i) s += "The quick brown fox jumps over the lazy dog. ";
    return s;
}

struct Workspace {
    std::string dir, old_path, patch_path, new_path;
    Workspace() {
        char tmpl[] = "/tmp/fuzz_bspatch.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        dir = tmpl;
        old_path = dir + "/old";
        patch_path = dir + "/patch";
        new_path = dir + "/new";
        write(old_path, reinterpret_cast<const uint8_t *>(old_contents().data()), old_contents().size());
    }
    ~Workspace() {
        unlink(old_path.c_str());
        unlink(patch_path.c_str());
        unlink(new_path.c_str());
        rmdir(dir.c_str());
    }
    static void write(const std::string &path, const uint8_t *data, size_t size) {
        FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    }
    int entries() const {
        int n = 0;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = readdir(d)) n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
        closedir(d);
        return n;
    }
};

Workspace &workspace() {
    static Workspace w;
    return w;
}

int64_t header_value(const uint8_t *p) {
    uint64_t magnitude = p[7] & 0x7Fu;
    for (int i = 6; i >= 0; --i) magnitude = (magnitude << 8) | p[i];
    return (p[7] & 0x80u) != 0 ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Keep the files written small: a valid patch may legitimately produce up to 2 GiB.
    const int64_t claimed = size >= 32 ? header_value(data + 24) : -1;
    if (claimed > (int64_t{1} << 20)) return 0;
    Workspace &w = workspace();
    Workspace::write(w.patch_path, data, size);
    const int result = BSDiffPatchFile(w.old_path.c_str(), w.new_path.c_str(), w.patch_path.c_str());
    FILE *produced = std::fopen(w.new_path.c_str(), "rb");
    if (result == 0) {
        if (produced == nullptr || std::fseek(produced, 0, SEEK_END) != 0 || std::ftell(produced) != claimed)
            std::abort();
    } else if (result != -1 || produced != nullptr) {
        std::abort();
    }
    if (produced != nullptr) std::fclose(produced);
    unlink(w.new_path.c_str());
    if (w.entries() != 2) std::abort();  // only old and patch: no temporary file left over
    return 0;
}
