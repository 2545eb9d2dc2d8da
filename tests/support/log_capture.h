// Captures the library's log lines (instead of syslog) and g_print output while alive.
#pragma once

#include <mutex>
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
    // Lines with the " [level] file-line:" location removed, e.g. "send At error:...\n".
    std::vector<std::string> messages() const;
    // Whether some line's message (location removed) equals `message` exactly.
    bool has(const std::string &message) const;
    // Whether some full line contains `fragment`.
    bool contains(const std::string &fragment) const;
    size_t size() const;

private:
    static void sink(int priority, const char *line, void *self);
    mutable std::mutex mutex_;
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

// Strips " [level] name-123:" from a log line.
std::string strip_location(const std::string &line);

}  // namespace tbox::test
