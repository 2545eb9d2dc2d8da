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
        std::lock_guard<std::mutex> lock(mutex());
        std::string out;
        out.swap(printed());
        return out;
    }

private:
    static void handler(const gchar *text) {
        std::lock_guard<std::mutex> lock(mutex());
        printed() += text;
    }
    static std::mutex &mutex() {
        static std::mutex m;
        return m;
    }
    static std::string &printed() {
        static std::string s;
        return s;
    }
    GPrintFunc previous_;
};

}  // namespace tbox::test
