// Gives a test process its own System V IPC namespace, so the fixed queue keys 1 and 2 are the
// test's own and no host queue is ever touched.
#pragma once

#include <string>

namespace tbox::test {

enum class IpcNamespace { kEntered, kNotPermitted, kFailed };

// Moves the process into a fresh IPC namespace. Only a single-threaded process is moved (a namespace
// belongs to each thread, so threads started earlier would stay outside); `why` explains a refusal.
IpcNamespace enter_private_ipc_namespace(std::string *why);

}  // namespace tbox::test

// For SetUp(): skips when the process may not create an IPC namespace, fails on any other refusal.
#define TBOX_ENTER_PRIVATE_IPC_NAMESPACE()                                                \
    do {                                                                                  \
        std::string why_;                                                                 \
        switch (::tbox::test::enter_private_ipc_namespace(&why_)) {                       \
            case ::tbox::test::IpcNamespace::kEntered: break;                             \
            case ::tbox::test::IpcNamespace::kNotPermitted: GTEST_SKIP() << why_; return; \
            case ::tbox::test::IpcNamespace::kFailed: FAIL() << why_; return;             \
        }                                                                                 \
    } while (0)
