// Captures the library's log lines (instead of syslog) and g_print output while alive.
#pragma once

#include <string>
#include <vector>

namespace tbox::test {

class LogCapture {
public:
    struct Line {
        int priority;
        std::string text;
    };
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<Line> lines() const;
    // The messages without their " [level] file-line:" location, e.g. "send At error:...\n".
    std::vector<std::string> messages() const;
    // Whether some message equals `message` exactly.
    bool has(const std::string &message) const;
    // Whether some full line contains `fragment`.
    bool contains(const std::string &fragment) const;
    size_t size() const { return lines().size(); }

private:
    static void sink(int priority, const char *line, void *self);
    std::vector<Line> lines_;
};

// Captures g_print output while alive.
class PrintCapture {
public:
    PrintCapture();
    ~PrintCapture();
    std::string text() const;

private:
    void *previous_;
};

}  // namespace tbox::test
