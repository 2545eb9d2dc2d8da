// What every test process relies on from tests/support: a service thread that runs what it is given
// there and hands back its failures, and helper programs that end with the test process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "support/service_thread.h"
#include "support/test_bus.h"

namespace {

TEST(ServiceThread, RunsOnItsThreadInItsOwnContextAndHandsBackWhatFnThrows) {
    tbox::test::ServiceThread service;
    GMainContext *context = nullptr;
    bool owner = false;
    std::thread::id thread;
    service.run([&] {
        context = g_main_context_ref_thread_default();
        owner = g_main_context_is_owner(context) != FALSE;
        thread = std::this_thread::get_id();
    });
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_NE(context, g_main_context_default());
    EXPECT_TRUE(owner) << "not the context its loop runs";
    g_main_context_unref(context);
    EXPECT_THROW(service.run([] { throw std::runtime_error("refused"); }), std::runtime_error);
    service.stop();
    service.stop();
}

// A sanitizer report ends the process with _exit(): no atexit handler stops the helpers. A helper left
// running would keep the test's output open, and ctest would wait for the time-out.
TEST(Helpers, EndWithTheTestProcessHoweverItEnds) {
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {  // the test process: its output is the pipe, which its helper inherits
        dup2(output[1], STDERR_FILENO);
        close(output[0]);
        close(output[1]);
        GPid helper = 0;
        const char *argv[] = {"sh", "-c", "echo ready; exec sleep 60", nullptr};
        tbox::test::start_helper({argv, argv + 4}, helper, "no line");
        _exit(1);
    }
    close(output[1]);
    pollfd end{output[0], POLLIN, 0};
    char c = 0;
    // Ends by end of file; the bound only keeps a failure from waiting for sleep's 60 s.
    EXPECT_TRUE(poll(&end, 1, 20000) == 1 && read(output[0], &c, 1) == 0) << "the helper outlived the test";
    close(output[0]);
    int status = 0;
    waitpid(test, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

}  // namespace
