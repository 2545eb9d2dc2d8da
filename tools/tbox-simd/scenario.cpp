#include "scenario.h"

#include <algorithm>
#include <cctype>

namespace tbox::sim {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// "1500ms", "2s", "1.25s" -> milliseconds; -1 when it is not a time.
int64_t parse_time(std::string_view t) {
    int64_t unit = 0;
    if (t.size() > 2 && t.substr(t.size() - 2) == "ms") {
        unit = 1;
        t.remove_suffix(2);
    } else if (t.size() > 1 && t.back() == 's') {
        unit = 1000;
        t.remove_suffix(1);
    } else {
        return -1;
    }
    int64_t whole = 0, fraction = 0, scale = 1;
    size_t i = 0;
    if (t.empty() || !std::isdigit(static_cast<unsigned char>(t[0]))) return -1;
    for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i) {
        whole = whole * 10 + (t[i] - '0');
        if (whole > kScenarioMaxMs) return -1;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (i == t.size()) return -1;
        for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i) {
            if (scale < 1000) {
                fraction = fraction * 10 + (t[i] - '0');
                scale *= 10;
            }
        }
    }
    if (i != t.size()) return -1;
    const int64_t ms = whole * unit + fraction * unit / scale;
    return ms > kScenarioMaxMs ? -1 : ms;
}

bool valid_name(const std::string &name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool ok = (c >= 'a' && c <= 'z') || (i > dot && ((c >= '0' && c <= '9') || c == '-'));
        if (!ok && i != dot) return false;
    }
    return true;
}

}  // namespace

std::string split_event(std::string_view text, std::string &name, std::vector<std::string> &args) {
    std::vector<std::string> words;
    size_t i = 0;
    while (true) {
        while (i < text.size() && is_blank(text[i])) ++i;
        if (i == text.size()) break;
        std::string word;
        if (text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                const char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\')) {
                    word.push_back(text[i++]);
                } else {
                    word.push_back(c);
                }
            }
            if (!closed) return "unterminated quoted argument";
            if (i < text.size() && !is_blank(text[i])) return "a quoted argument must be followed by a blank";
        } else {
            while (i < text.size() && !is_blank(text[i])) {
                if (text[i] == '"') return "quote inside an argument (quote the whole argument)";
                word.push_back(text[i++]);
            }
        }
        for (const char c : word) {
            if (c == '\0' || (static_cast<unsigned char>(c) < 0x20 && c != '\t'))
                return "control character in argument";
        }
        words.push_back(std::move(word));
    }
    if (words.empty()) return "no event";
    if (!valid_name(words[0])) return "\"" + words[0] + "\" is not an event name (service.event, e.g. net.up)";
    name = words[0];
    args.assign(words.begin() + 1, words.end());
    return "";
}

std::vector<ScenarioEvent> parse_scenario(std::string_view text, const std::string &file,
                                          std::vector<std::string> &errors) {
    std::vector<ScenarioEvent> events;
    int64_t previous = 0;
    int line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        const std::string where = file + ":" + std::to_string(line_no) + ": ";
        size_t start = 0;
        while (start < line.size() && is_blank(line[start])) ++start;
        line.remove_prefix(start);
        if (line.empty() || line[0] == '#') continue;
        size_t time_end = 0;
        while (time_end < line.size() && !is_blank(line[time_end])) ++time_end;
        std::string_view time = line.substr(0, time_end);
        const bool relative = !time.empty() && time[0] == '+';
        if (relative) time.remove_prefix(1);
        const int64_t ms = parse_time(time);
        if (ms < 0) {
            errors.push_back(where + "\"" + std::string(line.substr(0, time_end)) +
                             "\" is not a time (e.g. 250ms, 2s, 1.5s, +100ms)");
            continue;
        }
        ScenarioEvent event;
        event.line = line_no;
        event.at_ms = relative ? previous + ms : ms;
        if (event.at_ms > kScenarioMaxMs) {
            errors.push_back(where + "time beyond one day");
            continue;
        }
        if (event.at_ms < previous) {
            errors.push_back(where + "time goes backwards (" + std::to_string(event.at_ms) + " ms after " +
                             std::to_string(previous) + " ms)");
            continue;
        }
        const std::string error = split_event(line.substr(time_end), event.name, event.args);
        if (!error.empty()) {
            errors.push_back(where + error);
            continue;
        }
        previous = event.at_ms;
        events.push_back(std::move(event));
    }
    // Already in order (times never go backwards); stable in case that rule ever changes.
    std::stable_sort(events.begin(), events.end(),
                     [](const ScenarioEvent &a, const ScenarioEvent &b) { return a.at_ms < b.at_ms; });
    return events;
}

}  // namespace tbox::sim
