// A thread with its own main context and loop, for the services a test runs in-process (fake services,
// the simulator): what `run` creates there attaches its sources to that context, which stays the
// thread's default until the thread ends.
#pragma once

#include <glib.h>

#include <functional>
#include <thread>

namespace tbox::test {

class ServiceThread {
public:
    ServiceThread();
    ~ServiceThread() { stop(); }
    ServiceThread(const ServiceThread &) = delete;
    ServiceThread &operator=(const ServiceThread &) = delete;

    // Runs fn on the thread and waits for it; what fn throws is thrown here.
    void run(const std::function<void()> &fn) const;
    // Quits the loop, lets pending callbacks release what they hold and joins the thread (once).
    void stop();

private:
    GMainContext *context_ = g_main_context_new();
    GMainLoop *loop_ = g_main_loop_new(context_, FALSE);
    std::thread thread_;
};

}  // namespace tbox::test
