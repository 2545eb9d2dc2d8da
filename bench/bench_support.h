// What the upgrade benchmarks share: failing loudly, a command's output, files of noise, a private bus for
// the upgrade client's proxy and a real nginx on 127.0.0.1 (Debian's nginx-light).
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

namespace tbox::bench {

// Ends the benchmark with exit status 2: it could not run.
[[noreturn]] inline void die(const std::string &what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(2);
}

// What `command` prints, without its trailing newlines and blanks.
inline std::string shell_output(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    char buf[256];
    while (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    if (p != nullptr) pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

inline void write_noise(const std::string &path, size_t bytes, unsigned seed) {
    std::minstd_rand random(seed);
    std::ofstream out(path, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (size_t done = 0; done < bytes; done += chunk.size()) {
        for (auto &c : chunk) c = static_cast<char>(random() >> 8);
        out.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), bytes - done)));
    }
}

// Starts a dbus-daemon of its own and makes it the system bus of this process (the upgrade steps refuse
// before InitUpgradeClient, whose proxy needs a bus). Returns the daemon's pid, for the caller to stop.
inline pid_t start_private_bus() {
    const std::string daemon = shell_output("dbus-daemon --session --fork --print-address=1 --print-pid=1");
    const std::string address = daemon.substr(0, daemon.find('\n'));
    const pid_t pid = std::atoi(daemon.substr(daemon.find('\n') + 1).c_str());
    if (address.empty() || pid <= 0) die("dbus-daemon");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    return pid;
}

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

inline int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t n = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), n) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) != 0) {
        die("no free port");
    }
    close(s);
    return ntohs(a.sin_port);
}

// Starts nginx serving `root` on 127.0.0.1:`port`, its configuration, pid and logs in `dir`; `logging` is
// its http-level access-log directives. Returns its pid once it accepts connections.
inline pid_t start_nginx(const std::string &dir, const std::string &root, int port, const std::string &logging) {
    std::ofstream(dir + "/nginx.conf") << "daemon off; master_process off; worker_processes 1;\n"
                                       << "pid " << dir << "/nginx.pid; error_log " << dir << "/error.log;\n"
                                       << "events { worker_connections 64; }\n"
                                       << "http { " << logging << " sendfile on;\n"
                                       << "  client_body_temp_path " << dir << "/body;\n"
                                       << "  server { listen 127.0.0.1:" << port << "; root " << root << "; }\n}\n";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/usr/sbin/nginx", "nginx", "-p", dir.c_str(), "-e", (dir + "/error.log").c_str(), "-c",
              (dir + "/nginx.conf").c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = loopback(port);
        const bool up = connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
        close(s);
        if (up) return pid;
        usleep(10000);
    }
    die("nginx did not start");
}

}  // namespace tbox::bench
