// The exported symbols of libtbox.so are exactly those listed in tests/abi/*.syms.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> exported_symbols() {
    std::set<std::string> out;
    const std::string cmd = std::string("nm -D --defined-only '") + TBOX_LIBRARY_PATH + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char line[1024];
    while (fgets(line, sizeof line, p) != nullptr) {
        // "0000000000012345 T name" (possibly with @@VERSION)
        std::string s(line);
        s.erase(s.find_last_not_of("\r\n") + 1);
        const size_t sp = s.rfind(' ');
        if (sp == std::string::npos) continue;
        std::string name = s.substr(sp + 1);
        const size_t at = name.find('@');
        if (at != std::string::npos) name.resize(at);
        if (name == "TBOX_1") continue;  // the version node itself
        out.insert(name);
    }
    pclose(p);
    return out;
}

std::set<std::string> expected_symbols() {
    std::set<std::string> out;
    DIR *dir = opendir(TBOX_ABI_DIR);
    if (dir == nullptr) return out;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.substr(name.size() - 5) != ".syms") continue;
        std::ifstream in(std::string(TBOX_ABI_DIR) + "/" + name);
        std::string sym;
        while (std::getline(in, sym)) {
            if (!sym.empty() && sym[0] != '#') out.insert(sym);
        }
    }
    closedir(dir);
    return out;
}

std::string join(const std::set<std::string> &s) {
    std::string out;
    for (const auto &x : s) out += "  " + x + "\n";
    return out;
}

}  // namespace

TEST(Abi, ExportedSymbolsAreExactlyTheExpectedOnes) {
    const auto actual = exported_symbols();
    const auto expected = expected_symbols();
    ASSERT_FALSE(actual.empty());
    ASSERT_FALSE(expected.empty());
    std::set<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::inserter(missing, missing.end()));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::inserter(extra, extra.end()));
    EXPECT_TRUE(missing.empty()) << "missing from the library:\n" << join(missing);
    EXPECT_TRUE(extra.empty()) << "exported but not expected:\n" << join(extra);
}

TEST(Abi, BindingFamiliesExportTheirFullFunctionSets) {
    const auto actual = exported_symbols();
    const std::pair<const char *, int> families[] = {{"ky_at_", 17},      {"ky_bt_", 62},     {"ky_ecall_", 21},
                                                     {"ky_gbreal_", 19},  {"ky_gnss_", 19},   {"ky_gsensor_", 54},
                                                     {"ky_monitor_", 30}, {"ky_net_", 25},    {"ky_param_", 28},
                                                     {"ky_pm_", 46},      {"ky_update_", 36}, {"ky_wifi_", 56}};
    int total = 0;
    for (const auto &[prefix, count] : families) {
        const int n = static_cast<int>(
            std::count_if(actual.begin(), actual.end(),
                          [p = std::string(prefix)](const std::string &s) { return s.compare(0, p.size(), p) == 0; }));
        EXPECT_EQ(n, count) << prefix;
        total += n;
    }
    EXPECT_EQ(total, 413);
}
