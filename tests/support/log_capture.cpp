#include "support/log_capture.h"

#include <glib.h>

#include "common/log.h"

namespace tbox::test {

std::string strip_location(const std::string &line) {
    // " [err] at_api.cpp-42:message" -> "message"
    if (line.size() < 3 || line[0] != ' ' || line[1] != '[') return line;
    const size_t close = line.find("] ");
    if (close == std::string::npos) return line;
    const size_t colon = line.find(':', close);
    if (colon == std::string::npos) return line;
    return line.substr(colon + 1);
}

LogCapture::LogCapture() {
    tbox::log::set_sink(&LogCapture::sink, this);
}
LogCapture::~LogCapture() {
    tbox::log::set_sink(nullptr, nullptr);
}

void LogCapture::sink(int priority, const char *line, void *self) {
    auto *capture = static_cast<LogCapture *>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->lines_.push_back({priority, line});
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out;
    for (const auto &l : lines()) out.push_back(strip_location(l.text));
    return out;
}

bool LogCapture::has(const std::string &message) const {
    for (const auto &m : messages()) {
        if (m == message) return true;
    }
    return false;
}

bool LogCapture::contains(const std::string &fragment) const {
    for (const auto &l : lines()) {
        if (l.text.find(fragment) != std::string::npos) return true;
    }
    return false;
}

size_t LogCapture::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

namespace {
std::mutex g_printMutex;
std::string g_printed;
void print_handler(const gchar *text) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    g_printed += text;
}
}  // namespace

PrintCapture::PrintCapture() {
    {
        std::lock_guard<std::mutex> lock(g_printMutex);
        g_printed.clear();
    }
    previous_ = reinterpret_cast<void *>(g_set_print_handler(print_handler));
}

PrintCapture::~PrintCapture() {
    g_set_print_handler(reinterpret_cast<GPrintFunc>(previous_));
}

std::string PrintCapture::text() const {
    std::lock_guard<std::mutex> lock(g_printMutex);
    return g_printed;
}

}  // namespace tbox::test
