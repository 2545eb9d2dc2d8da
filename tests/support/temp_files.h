// Scratch directories and files for tests that work on real files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tbox::test {

// A fresh directory under /tmp, removed with its contents at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;  // sorted names, to see that nothing was left behind

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);
// n reproducible bytes without structure for a compressor or a differ to exploit.
std::string pseudo_random(size_t n, uint32_t seed);

}  // namespace tbox::test
