// parse_scenario on arbitrary text: never crashes, keeps events in time order within one day, names
// every refused line by file and line, and re-reads the text of each accepted event the same way.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> errors;
    const auto events = tbox::sim::parse_scenario(text, "f", errors);
    int64_t previous = 0;
    int previous_line = 0;
    for (const auto &e : events) {
        if (e.at_ms < previous || e.at_ms > tbox::sim::kScenarioMaxMs) std::abort();
        if (e.line <= previous_line) std::abort();
        if (e.name.find('.') == std::string::npos) std::abort();
        previous = e.at_ms;
        previous_line = e.line;
        // An accepted event, written back with quotes around every argument, reads back the same.
        std::string again = e.name;
        for (const auto &a : e.args) {
            again += " \"";
            for (const char c : a) {
                if (c == '"' || c == '\\') again.push_back('\\');
                again.push_back(c);
            }
            again += "\"";
        }
        std::string name;
        std::vector<std::string> args;
        if (!tbox::sim::split_event(again, name, args).empty() || name != e.name || args != e.args) std::abort();
    }
    for (const auto &err : errors) {
        if (err.rfind("f:", 0) != 0) std::abort();
    }
    return 0;
}
