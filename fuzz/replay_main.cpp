// Without libFuzzer: feed every file of the given directories (or the given files) to the target once.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int run_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

int run_path(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    if (!S_ISDIR(st.st_mode)) return run_file(path);
    int n = 0;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) return 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        n += run_path(path + "/" + e->d_name);
    }
    closedir(dir);
    return n;
}

}  // namespace

int main(int argc, char **argv) {
    int n = 0;
    for (int i = 1; i < argc; ++i) n += run_path(argv[i]);
    std::printf("replayed %d inputs\n", n);
    return n > 0 ? 0 : 1;
}
