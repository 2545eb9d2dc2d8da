#include "support/log_capture.h"

#include <glib.h>

#include <mutex>

#include "common/log.h"

namespace tbox::test {
namespace {
std::mutex g_mutex;  // log lines and g_print text may come from any thread
std::string g_printed;
}  // namespace

LogCapture::LogCapture() {
    tbox::log::set_sink(&LogCapture::sink, this);
}
LogCapture::~LogCapture() {
    tbox::log::set_sink(nullptr, nullptr);
}

void LogCapture::sink(int priority, const char *line, void *self) {
    std::lock_guard<std::mutex> lock(g_mutex);
    static_cast<LogCapture *>(self)->lines_.push_back({priority, line});
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return lines_;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out;
    for (const auto &l : lines()) {
        const size_t colon = l.text.find(':', l.text.find("] "));
        out.push_back(colon == std::string::npos ? l.text : l.text.substr(colon + 1));
    }
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

PrintCapture::PrintCapture() {
    g_printed.clear();
    previous_ = reinterpret_cast<void *>(g_set_print_handler([](const gchar *text) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_printed += text;
    }));
}

PrintCapture::~PrintCapture() {
    g_set_print_handler(reinterpret_cast<GPrintFunc>(previous_));
}

std::string PrintCapture::text() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_printed;
}

}  // namespace tbox::test
