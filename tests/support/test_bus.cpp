#include "support/test_bus.h"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace tbox::test {
namespace {

GPid g_daemon = 0;
std::string g_dir;

void end_daemon() {
    if (g_daemon == 0) return;
    kill(g_daemon, SIGTERM);
    waitpid(g_daemon, nullptr, 0);
    g_daemon = 0;
}

void stop_daemon() {
    end_daemon();
    if (std::system(("rm -rf '" + g_dir + "'").c_str()) != 0) g_dir.clear();
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
    const char *argv[] = {"dbus-daemon", config_arg.c_str(), "--nofork", "--nopidfile", "--print-address=1", nullptr};
    gint out = -1;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                  static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                                  nullptr, &pid, nullptr, &out, nullptr, nullptr)) {
        throw std::runtime_error("cannot start dbus-daemon");
    }
    std::string address;
    char c;
    while (read(out, &c, 1) == 1 && c != '\n') address.push_back(c);
    close(out);
    if (address.empty()) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        throw std::runtime_error("dbus-daemon printed no address");
    }
    return address;
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
    end_daemon();
}

void restart_private_bus() {
    // The first daemon chose its socket's name in g_dir: "unix:path=<socket>,guid=...".
    const std::string &address = private_bus_address();
    const size_t start = address.find("path=") + 5;
    const std::string socket = address.substr(start, address.find(',', start) - start);
    unlink(socket.c_str());
    spawn_daemon(write_config(g_dir, "unix:path=" + socket), g_daemon);
}

const std::string &private_bus_address() {
    static const std::string address = start_daemon();
    return address;
}

}  // namespace tbox::test
