// The exported symbols of libtbox.so are exactly those of the modules' export lists (src/<module>/*.syms,
// and the bindings' list generated from the generated headers).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> lines_of(const std::string &command) {
    std::set<std::string> out;
    FILE *p = popen(command.c_str(), "r");
    char line[1024];
    while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        s.erase(s.find_last_not_of("\r\n") + 1);
        if (!s.empty()) out.insert(s);
    }
    if (p != nullptr) pclose(p);
    return out;
}

// The members of a that b lacks, one per line.
std::string listed(const std::set<std::string> &a, const std::set<std::string> &b) {
    std::string out;
    for (const auto &s : a) out += b.count(s) == 0 ? "  " + s + "\n" : "";
    return out;
}

TEST(Abi, ExportedSymbolsAreExactlyTheExpectedOnes) {
    // Defined dynamic symbols without their version suffix; the version node itself (type A) is not one.
    const auto actual = lines_of(std::string("nm -D --defined-only '") + TBOX_LIBRARY_PATH +
                                 "' | awk '$2 != \"A\" {sub(/@.*/, \"\", $3); print $3}'");
    const auto expected = lines_of(std::string("cat ") + TBOX_EXPORT_LISTS + " | grep -v '^#'");
    ASSERT_GT(expected.size(), 413u);
    EXPECT_EQ(listed(expected, actual), "") << "missing from the library";
    EXPECT_EQ(listed(actual, expected), "") << "exported but not expected";
    // The bindings' list is generated: it must name every function the generated code defines.
    const auto generated =
        lines_of(std::string("nm -g --defined-only ") + TBOX_BINDING_OBJECTS + " | awk 'NF == 3 {print $3}'");
    ASSERT_GE(generated.size(), 413u);
    EXPECT_EQ(listed(generated, actual), "") << "defined by the generated bindings but not exported";
}

}  // namespace
