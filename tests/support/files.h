// Files for tests that compare with peer tools: a private temporary directory, whole-file reads and
// writes, shell commands that must succeed, and reproducible bytes without structure.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace tbox::test {

using Bytes = std::string;

// A fresh directory under /tmp, removed with its contents at the end of the scope.
struct TempDir {
    char tmpl[22] = "/tmp/tbox_test.XXXXXX";
    std::string path = mkdtemp(tmpl);
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    long entries() const {
        namespace fs = std::filesystem;
        return std::distance(fs::directory_iterator(path), fs::directory_iterator());
    }
};

inline void put(const std::string &path, const Bytes &data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline Bytes get(const std::string &path) {
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}

inline void run(const std::string &command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// n reproducible bytes without structure for a compressor or a differ to exploit.
inline Bytes noise(size_t n, unsigned seed) {
    std::minstd_rand random(seed);
    Bytes out(n, '\0');
    for (auto &c : out) c = static_cast<char>(random() >> 8);
    return out;
}

}  // namespace tbox::test
