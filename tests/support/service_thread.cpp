#include "support/service_thread.h"

#include <exception>
#include <future>
#include <utility>

namespace tbox::test {

ServiceThread::ServiceThread() {
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
    });
}

void ServiceThread::run(const std::function<void()> &fn) const {
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

void ServiceThread::stop() {
    if (!thread_.joinable()) return;
    // Quit from inside the loop: a quit before g_main_loop_run started would be lost.
    run([this] { g_main_loop_quit(loop_); });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

}  // namespace tbox::test
