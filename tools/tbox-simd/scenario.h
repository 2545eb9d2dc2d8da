// The scenario format: one timed event per line, "<time> <event> [argument...]".
//
//   # comment                      blank lines and lines starting with # are ignored
//   0s      net.down 1             absolute time since the simulator became ready: 250ms, 2s, 1.5s
//   +500ms  net.up 1 10.0.0.7      relative to the previous event
//   3s      at.urc "+CMTI: \"SM\",3" ""
//
// Arguments are separated by blanks; double quotes keep blanks in one argument, with \" and \\ inside.
// Events with the same time run in file order. Parsing is pure (no GLib main loop), so it can be fuzzed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tbox::sim {

struct ScenarioEvent {
    int64_t at_ms = 0;
    int line = 0;
    std::string name;
    std::vector<std::string> args;
};

// Splits an event text ("net.up 1 10.0.0.7") into its name and arguments. Returns "" or what is wrong.
std::string split_event(std::string_view text, std::string &name, std::vector<std::string> &args);

// Parses a whole scenario. Lines that cannot be parsed are skipped; each adds "FILE:LINE: reason" to
// errors. The events come out ordered by time, file order among equal times.
std::vector<ScenarioEvent> parse_scenario(std::string_view text, const std::string &file,
                                          std::vector<std::string> &errors);

// Longest time a scenario may reach (one day), so that times stay far from overflow.
constexpr int64_t kScenarioMaxMs = 24LL * 3600 * 1000;

}  // namespace tbox::sim
