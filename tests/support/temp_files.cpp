#include "support/temp_files.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tbox::test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/tbox_test.XXXXXX";
    path_ = mkdtemp(tmpl);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string pseudo_random(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    for (auto &c : out) c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return out;
}

}  // namespace tbox::test
