// What the simulator's device paths share: DEVICE[:BAUD] arguments, lines re-assembled from the
// pieces a read returns, and a serial port opened through the SDK's UART functions, watched on the
// simulator's main context and opened again when it goes away.
#pragma once

#include <glib.h>

#include <functional>
#include <string>

#include "sim.h"

namespace tbox::sim {

// A line longer than this (without its end) is dropped: no receiver or modem sends one.
constexpr size_t kLongestLine = 4096;
// How long a device path waits before it opens a device again, or connects to gpsd again.
constexpr unsigned kReopenMs = 1000;

// "PATH" or "PATH:BAUD" (a trailing colon and digits is the speed). The speed must be one UartInit
// takes. Returns "" or what is wrong.
std::string parse_device(const std::string &text, int default_baud, std::string &path, int &baud);

// Cuts a byte stream into lines at "\n"; "\r" at a line's end is dropped, empty lines are skipped.
class LineSplitter {
public:
    // `line` gets each line; `overlong` is told of each line over kLongestLine bytes, which is dropped.
    LineSplitter(std::function<void(const std::string &)> line, std::function<void()> overlong)
        : line_(std::move(line)), overlong_(std::move(overlong)) {}
    void feed(const char *data, size_t size);
    // Forgets a partial line (the stream was cut).
    void reset() {
        partial_.clear();
        dropping_ = false;
    }

private:
    std::function<void(const std::string &)> line_;
    std::function<void()> overlong_;
    std::string partial_;
    bool dropping_ = false;  // inside an overlong line, up to its end
};

// A serial device read line by line without blocking the main context of the thread that created it.
// While the device cannot be opened, or after it went away, it tries again every kReopenMs.
class SerialLines {
public:
    // `who` begins its messages ("gnss", "at"); `state` is told when the port opens (true) or closes.
    SerialLines(Hub &hub, std::string who, std::string path, int baud, std::function<void(const std::string &)> line,
                std::function<void(bool)> state = nullptr);
    ~SerialLines();
    SerialLines(const SerialLines &) = delete;
    SerialLines &operator=(const SerialLines &) = delete;

    void start();
    bool is_open() const { return fd_ >= 0; }
    // Writes all of `text`; false (the port is then closed) when it cannot.
    bool write(const std::string &text);
    const std::string &path() const { return path_; }

private:
    bool open_port();
    void close_port(const std::string &why);
    static gboolean on_ready(int fd, GIOCondition condition, gpointer self);

    Hub &hub_;
    std::string who_, path_;
    int baud_;
    std::function<void(bool)> state_;
    LineSplitter splitter_;
    GMainContext *context_;
    int fd_ = -1;
    GSource *watch_ = nullptr;
    Timers timers_;
    bool complained_ = false;  // about a failed open, once per absence
};

}  // namespace tbox::sim
