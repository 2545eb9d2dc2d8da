#include "serial_line.h"

#include <glib-unix.h>
#include <tbox/uart.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tbox::sim {
namespace {

// The speeds UartInit takes (include/tbox/uart.h); checked here so a bad one is a usage error.
constexpr int kUartSpeeds[] = {9600,    38400,   57600,   115200,  460800,  576000, 921600,
                               1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

constexpr size_t kReadSize = 512;

}  // namespace

std::string parse_device(const std::string &text, int default_baud, std::string &path, int &baud) {
    path = text;
    baud = default_baud;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && colon + 1 < text.size() &&
        text.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        path = text.substr(0, colon);
        baud = colon + 10 < text.size() ? 0 : std::stoi(text.substr(colon + 1));
    }
    if (path.empty()) return "no device in \"" + text + "\"";
    if (std::find(std::begin(kUartSpeeds), std::end(kUartSpeeds), baud) == std::end(kUartSpeeds)) {
        return "unsupported speed in \"" + text + "\" (9600, 38400, 57600, 115200, 460800 ... 4000000)";
    }
    return "";
}

void LineSplitter::feed(const char *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c != '\n') {
            if (dropping_) continue;
            if (partial_.size() >= kLongestLine) {
                partial_.clear();
                dropping_ = true;
                overlong_();
                continue;
            }
            partial_.push_back(c);
            continue;
        }
        const bool dropped = dropping_;
        dropping_ = false;
        while (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
        if (!dropped && !partial_.empty()) line_(partial_);
        partial_.clear();
    }
}

SerialLines::SerialLines(Hub &hub, std::string who, std::string path, int baud,
                         std::function<void(const std::string &)> line, std::function<void(bool)> state)
    : hub_(hub),
      who_(std::move(who)),
      path_(std::move(path)),
      baud_(baud),
      state_(std::move(state)),
      splitter_(
          std::move(line),
          [this] {
              hub_.complain(who_ + ": " + path_ + ": line over " + std::to_string(kLongestLine) + " bytes dropped");
          }),
      context_(g_main_context_ref_thread_default()) {}

SerialLines::~SerialLines() {
    timers_.cancel_all();
    if (watch_ != nullptr) {
        g_source_destroy(watch_);
        g_source_unref(watch_);
    }
    if (fd_ >= 0) UartClose(fd_);
    g_main_context_unref(context_);
}

void SerialLines::start() {
    if (open_port()) return;
    timers_.every(kReopenMs, [this] { return !open_port(); });
}

bool SerialLines::open_port() {
    const int fd = UartInit(path_.c_str(), baud_, 0, 8, 1, 0);
    if (fd < 0) {
        if (!complained_) {
            hub_.complain(who_ + ": cannot open " + path_ + " (trying again every " + std::to_string(kReopenMs) +
                          " ms)");
        }
        complained_ = true;
        return false;
    }
    complained_ = false;
    // Reads return what has arrived and never wait: the main context waits for the port instead.
    UartSetCC(fd, 0, 0);
    UartFlush(fd);
    fd_ = fd;
    splitter_.reset();
    watch_ = g_unix_fd_source_new(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(watch_, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(on_ready)), this, nullptr);
    g_source_attach(watch_, context_);
    hub_.say(who_ + ": " + path_ + " open at " + std::to_string(baud_) + " baud");
    if (state_) state_(true);
    return true;
}

void SerialLines::close_port(const std::string &why) {
    if (fd_ < 0) return;
    g_source_destroy(watch_);
    g_source_unref(watch_);
    watch_ = nullptr;
    UartClose(fd_);
    fd_ = -1;
    hub_.say(who_ + ": " + path_ + " closed (" + why + "); opening it again every " + std::to_string(kReopenMs) +
             " ms");
    timers_.every(kReopenMs, [this] { return !open_port(); });
    if (state_) state_(false);
}

gboolean SerialLines::on_ready(int fd, GIOCondition condition, gpointer data) {
    auto *self = static_cast<SerialLines *>(data);
    char buffer[kReadSize];
    const int n = (condition & G_IO_IN) != 0 ? UartRecvData(fd, reinterpret_cast<uint8_t *>(buffer), sizeof buffer) : 0;
    if (n > 0) {
        self->splitter_.feed(buffer, static_cast<size_t>(n));
        return G_SOURCE_CONTINUE;
    }
    // Nothing to read although the port was ready: the device hung up or went away.
    self->close_port(n < 0 ? std::string("read failed: ") + std::strerror(errno) : "hung up");
    return G_SOURCE_CONTINUE;  // the source was destroyed by close_port
}

bool SerialLines::write(const std::string &text) {
    if (fd_ < 0) return false;
    const int n = UartSendData(fd_, reinterpret_cast<const uint8_t *>(text.data()), static_cast<uint32_t>(text.size()));
    if (n == static_cast<int>(text.size())) return true;
    close_port(std::string("write failed: ") + std::strerror(errno));
    return false;
}

}  // namespace tbox::sim
