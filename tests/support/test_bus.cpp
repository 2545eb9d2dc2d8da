#include "support/test_bus.h"

#include <glib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace tbox::test {
namespace {

GPid g_daemon = 0;
std::string g_dir;

// At exit: the daemon (unless a test stopped it and started none since) and its directory.
void stop_daemon() {
    if (g_daemon != 0) {
        stop_bus_daemon(g_daemon, g_dir);
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(g_dir, ignored);
    }
}

// Writes the configuration of a system-bus-like daemon listening on `listen` into `dir`; returns its path.
std::string write_config(const std::string &dir, const std::string &listen) {
    const std::string config = dir + "/bus.conf";
    const std::string xml = "<busconfig><type>system</type><listen>" + listen +
                            "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                            "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                            "<allow receive_sender=\"*\"/><allow eavesdrop=\"true\"/></policy></busconfig>";
    g_file_set_contents(config.c_str(), xml.c_str(), -1, nullptr);
    return config;
}

// Runs dbus-daemon with `config`; returns the address it prints.
std::string spawn_daemon(const std::string &config, GPid &pid) {
    const std::string config_arg = "--config-file=" + config;
    return start_helper({"dbus-daemon", config_arg.c_str(), "--nofork", "--nopidfile", "--print-address=1", nullptr},
                        pid, "dbus-daemon printed no address");
}

std::string start_daemon() {
    std::string address = start_bus_daemon(g_daemon, g_dir);
    std::atexit(stop_daemon);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    return address;
}

}  // namespace

std::string start_bus_daemon(GPid &pid, std::string &dir) {
    gchar *made = g_dir_make_tmp("tbox-bus-XXXXXX", nullptr);
    if (made == nullptr) throw std::runtime_error("no temporary directory");
    dir = made;
    g_free(made);
    return spawn_daemon(write_config(dir, "unix:dir=" + dir), pid);
}

void stop_private_bus() {
    private_bus_address();
    kill(g_daemon, SIGTERM);
    waitpid(g_daemon, nullptr, 0);
    g_daemon = 0;
}

void restart_private_bus() {
    // The first daemon chose its socket's name in g_dir: "unix:path=<socket>,guid=...".
    const std::string &address = private_bus_address();
    const size_t start = address.find("path=") + 5;
    const std::string socket = address.substr(start, address.find(',', start) - start);
    unlink(socket.c_str());
    spawn_daemon(write_config(g_dir, "unix:path=" + socket), g_daemon);
}

void stop_bus_daemon(GPid pid, const std::string &dir) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string start_helper(const std::vector<const char *> &argv, GPid &pid, const std::string &failure) {
    // The kernel signals the child when the thread that started it ends: only the main thread lasts
    // as long as the process.
    const bool main_thread = syscall(SYS_gettid) == getpid();
    gint out = -1;
    if (!g_spawn_async_with_pipes(
            nullptr, const_cast<gchar **>(argv.data()), nullptr,
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
            [](gpointer parent) {
                if (parent == nullptr) return;
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != GPOINTER_TO_INT(parent)) _exit(1);  // the test process ended before prctl
            },
            main_thread ? GINT_TO_POINTER(getpid()) : nullptr, &pid, nullptr, &out, nullptr, nullptr)) {
        throw std::runtime_error(std::string("cannot start ") + argv[0]);
    }
    std::string line;
    char c;
    while (read(out, &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out);
    if (line.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throw std::runtime_error(failure);
    }
    return line;
}

const std::string &private_bus_address() {
    static const std::string address = start_daemon();
    return address;
}

}  // namespace tbox::test
