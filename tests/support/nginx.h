// A real nginx (Debian's nginx-light) serving a directory on 127.0.0.1, started by the test as a process
// of its own, with its configuration, logs and temporary files in a private directory; killed with the
// test process (or at the end of the scope). Range, If-Range, ETag and 206 are its own.
#pragma once

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "support/files.h"
#include "support/free_port.h"

namespace tbox::test {

inline constexpr const char kNginx[] = "/usr/sbin/nginx";

class Nginx {
public:
    // Serves `root`. Throws when no port could be taken (nginx cannot be told to pick one).
    explicit Nginx(const std::string &root) {
        for (int tries = 0; tries < 5 && pid_ == 0; ++tries) start(root, free_port());
        if (pid_ == 0) throw std::runtime_error("nginx did not start: " + get(dir_ / "error.log"));
    }
    ~Nginx() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Nginx(const Nginx &) = delete;
    Nginx &operator=(const Nginx &) = delete;

    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    // One line per request: "<status> <body bytes sent> <Range header or ->".
    std::string access_log() const { return get(dir_ / "access.log"); }

private:
    static bool answers(int port) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    void start(const std::string &root, int port) {
        const std::string d = dir_.path;
        std::ofstream(dir_ / "nginx.conf")
            << "daemon off; master_process off; worker_processes 1;\n"
            << "pid " << d << "/nginx.pid; error_log " << d << "/error.log;\n"
            << "events { worker_connections 64; }\n"
            << "http {\n  log_format brief '$status $body_bytes_sent $http_range';\n"
            << "  access_log " << d << "/access.log brief;\n"
            << "  client_body_temp_path " << d << "/body; proxy_temp_path " << d << "/proxy;\n"
            << "  fastcgi_temp_path " << d << "/fastcgi; uwsgi_temp_path " << d << "/uwsgi;\n"
            << "  scgi_temp_path " << d << "/scgi;\n"
            << "  server { listen 127.0.0.1:" << port << "; root " << root << "; }\n}\n";
        const std::string conf = dir_ / "nginx.conf", errorLog = dir_ / "error.log";
        const char *argv[] = {kNginx, "-p", d.c_str(), "-e", errorLog.c_str(), "-c", conf.c_str(), nullptr};
        // As start_helper: the kernel kills nginx when the test's main thread ends.
        const bool mainThread = syscall(SYS_gettid) == getpid();
        GPid pid = 0;
        if (!g_spawn_async(
                nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                [](gpointer parent) {
                    if (parent == nullptr) return;
                    prctl(PR_SET_PDEATHSIG, SIGKILL);
                    if (getppid() != GPOINTER_TO_INT(parent)) _exit(1);
                },
                mainThread ? GINT_TO_POINTER(getpid()) : nullptr, &pid, nullptr)) {
            return;
        }
        // nginx prints nothing when ready: wait until it accepts, or has ended (the port was taken).
        for (;;) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;
            if (answers(port)) break;
            g_usleep(10000);
        }
        pid_ = pid;
        port_ = port;
    }

    TempDir dir_;
    GPid pid_ = 0;
    int port_ = 0;
};

}  // namespace tbox::test
