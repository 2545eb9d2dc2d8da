#include "support/ipc_namespace.h"

#include <dirent.h>
#include <sched.h>

#include <cerrno>
#include <cstring>

namespace tbox::test {
namespace {

int thread_count() {
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

}  // namespace

IpcNamespace enter_private_ipc_namespace(std::string *why) {
    const int threads = thread_count();
    if (threads != 1) {
        *why = "the process has " + std::to_string(threads) +
               " threads; a private IPC namespace would not cover the others, refusing to touch System V queues";
        return IpcNamespace::kFailed;
    }
    if (unshare(CLONE_NEWIPC) == 0) return IpcNamespace::kEntered;
    const int error = errno;
    *why = std::string("cannot create a private IPC namespace (unshare(CLONE_NEWIPC): ") + std::strerror(error) +
           "); message-queue tests need CAP_SYS_ADMIN (run as root) so they never touch the host's queues 1 and 2";
    return error == EPERM ? IpcNamespace::kNotPermitted : IpcNamespace::kFailed;
}

}  // namespace tbox::test
