// Captures what the library prints through g_print while alive.
#pragma once

#include <glib.h>

#include <mutex>
#include <string>

namespace tbox::test {

class PrintCapture {
public:
    PrintCapture() : previous_(g_set_print_handler(&PrintCapture::handler)) { take(); }
    ~PrintCapture() { g_set_print_handler(previous_); }
    PrintCapture(const PrintCapture &) = delete;
    PrintCapture &operator=(const PrintCapture &) = delete;

    // Everything printed since the capture began or since the last take().
    static std::string take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        out.swap(printed_);
        return out;
    }

private:
    static void handler(const gchar *text) {
        std::lock_guard<std::mutex> lock(mutex_);
        printed_ += text;
    }
    static inline std::mutex mutex_;
    static inline std::string printed_;
    GPrintFunc previous_;
};

}  // namespace tbox::test
