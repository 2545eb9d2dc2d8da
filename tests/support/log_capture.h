// Captures the library's log lines (instead of syslog) while alive.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"

namespace tbox::test {

class LogCapture {
public:
    LogCapture() { tbox::log::set_sink(&LogCapture::sink, this); }
    ~LogCapture() { tbox::log::set_sink(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Whether some line's message, after its " [level] file-line:" location, equals `message`.
    bool has(const std::string &message) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &line : lines_) {
            const size_t colon = line.find(':', line.find("] "));
            if (colon != std::string::npos && line.compare(colon + 1, std::string::npos, message) == 0) return true;
        }
        return false;
    }
    // Whether some line is `message` logged under source base name `source` (any level and line).
    bool has_from(const std::string &source, const std::string &message) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &line : lines_) {
            const size_t at = line.find("] ");
            if (at == std::string::npos || line.compare(at + 2, source.size() + 1, source + "-") != 0) continue;
            const size_t colon = line.find(':', at + 2 + source.size());
            if (colon != std::string::npos && line.compare(colon + 1, std::string::npos, message) == 0) return true;
        }
        return false;
    }
    // Whether some full line contains `fragment`.
    bool contains(const std::string &fragment) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &line : lines_) {
            if (line.find(fragment) != std::string::npos) return true;
        }
        return false;
    }

    size_t count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

private:
    static void sink(int, const char *line, void *self) {
        auto *capture = static_cast<LogCapture *>(self);
        std::lock_guard<std::mutex> lock(capture->mutex_);
        capture->lines_.emplace_back(line);
    }
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tbox::test
