// A thread with its own main context and loop, for the services a test runs in-process (fake services,
// the simulator): what `run` creates there attaches its sources to that context, which stays the
// thread's default until the thread ends.
#pragma once

#include <glib.h>

#include <exception>
#include <functional>
#include <future>
#include <thread>

namespace tbox::test {

class ServiceThread {
public:
    ServiceThread() {
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            while (g_main_context_iteration(context_, FALSE)) {
            }  // let pending callbacks release what they hold
            g_main_context_pop_thread_default(context_);
        });
    }
    ~ServiceThread() { stop(); }
    ServiceThread(const ServiceThread &) = delete;
    ServiceThread &operator=(const ServiceThread &) = delete;

    // Runs fn on the thread and waits for it; what fn throws is thrown here.
    void run(const std::function<void()> &fn) const {
        struct Job {
            const std::function<void()> &fn;
            std::promise<void> done;
        } job{fn, {}};
        std::future<void> finished = job.done.get_future();
        // An attached source always runs on the service thread (g_main_context_invoke might run it here).
        GSource *source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                auto *j = static_cast<Job *>(data);
                try {
                    j->fn();
                    j->done.set_value();
                } catch (...) {
                    j->done.set_exception(std::current_exception());
                }
                return G_SOURCE_REMOVE;
            },
            &job, nullptr);
        g_source_attach(source, context_);
        g_source_unref(source);
        finished.get();
    }

    // Quits the loop (from inside: a quit before the loop ran would be lost) and joins the thread, once.
    void stop() {
        if (!thread_.joinable()) return;
        run([this] { g_main_loop_quit(loop_); });
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

private:
    GMainContext *context_ = g_main_context_new();
    GMainLoop *loop_ = g_main_loop_new(context_, FALSE);
    std::thread thread_;
};

}  // namespace tbox::test
