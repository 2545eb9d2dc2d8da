#include "support/test_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

extern char **environ;

namespace tbox::test {
namespace {

pid_t g_daemon = -1;
std::string g_dir;

void stop_daemon() {
    if (g_daemon > 0) {
        kill(g_daemon, SIGTERM);
        waitpid(g_daemon, nullptr, 0);
        g_daemon = -1;
    }
    if (!g_dir.empty()) {
        std::string cmd = "rm -rf '" + g_dir + "'";
        int ignored = std::system(cmd.c_str());
        (void)ignored;
    }
}

std::string start_daemon() {
    char tmpl[] = "/tmp/tbox-bus-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    g_dir = tmpl;
    const std::string config = g_dir + "/bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <listen>unix:dir="
            << g_dir
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow receive_sender=\"*\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    int pipefd[2];
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
    const std::string fd_arg = "--print-address=" + std::to_string(pipefd[1]);
    const std::string config_arg = "--config-file=" + config;
    const char *argv[] = {"dbus-daemon", config_arg.c_str(), "--nofork", "--nopidfile", fd_arg.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, pipefd[0]);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[1]);
    if (rc != 0) {
        close(pipefd[0]);
        throw std::runtime_error("cannot start dbus-daemon");
    }
    g_daemon = pid;
    std::atexit(stop_daemon);
    std::string address;
    char c;
    while (read(pipefd[0], &c, 1) == 1 && c != '\n') address.push_back(c);
    close(pipefd[0]);
    if (address.empty()) throw std::runtime_error("dbus-daemon printed no address");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    return address;
}

}  // namespace

const std::string &private_bus_address() {
    static const std::string address = start_daemon();
    return address;
}

}  // namespace tbox::test
