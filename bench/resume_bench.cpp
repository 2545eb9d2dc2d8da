// The resumable download, measured against a real nginx on 127.0.0.1 (Debian's nginx-light).
//
// Each round, interleaved: a fresh DownloadUpgradePkg of an N MiB object (default 256); then one that a
// forked child starts and that is killed (SIGKILL) once half the object is in its partial file, followed
// by the call that resumes it. Targets, over the medians of the rounds:
//   bytes received by the cut download (its part file when killed) and by the resumption <= 1.02 x the
//   object's size (also printed: what nginx sent, which adds what the socket buffers held at the kill);
//   time of the resuming call <= 0.55 x the time of a fresh download.
//
// Usage: resume_bench [--mib N] [--runs N]. Exits 1 when a target is missed, 2 when it cannot run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "tbox/upgrade.h"

namespace {

using tbox::bench::die;
using tbox::bench::free_port;
using tbox::bench::shell_output;
using tbox::bench::start_nginx;
using tbox::bench::start_private_bus;

using Clock = std::chrono::steady_clock;
constexpr double kBytesTarget = 1.02;
constexpr double kTimeTarget = 0.55;

// The body bytes of each request nginx logged since `from` lines.
std::vector<long long> sent_since(const std::string &log, size_t from) {
    std::ifstream in(log);
    std::vector<long long> sent;
    std::string line;
    for (size_t i = 0; std::getline(in, line); ++i) {
        if (i >= from) sent.push_back(std::atoll(line.substr(line.find(' ') + 1).c_str()));
    }
    return sent;
}

double seconds_of(const std::string &url, const std::string &out) {
    char status[TBOX_DOWNLOAD_STATUS_SIZE];
    const auto start = Clock::now();
    if (DownloadUpgradePkg(url.c_str(), out.c_str(), nullptr, status) != 0) die(std::string("download: ") + status);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long long size_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    long long mib = 256;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--mib") mib = std::atoll(argv[i + 1]);
        if (opt == "--runs") runs = std::atoi(argv[i + 1]);
    }
    if (access("/usr/sbin/nginx", X_OK) != 0) die("/usr/sbin/nginx missing (scripts/bootstrap installs nginx-light)");
    const pid_t daemonPid = start_private_bus();
    if (InitUpgradeClient() != 0) die("InitUpgradeClient");

    char dirTemplate[] = "/tmp/tbox_resume_bench.XXXXXX";
    const std::string work = mkdtemp(dirTemplate);
    mkdir((work + "/www").c_str(), 0755);
    {
        std::minstd_rand random(1);
        std::ofstream body(work + "/www/pkg", std::ios::binary);
        std::string chunk(1 << 20, '\0');
        for (long long i = 0; i < mib; ++i) {
            for (auto &c : chunk) c = static_cast<char>(random() >> 8);
            body.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }
    const long long size = mib << 20;
    const int port = free_port();
    const pid_t nginx =
        start_nginx(work, work + "/www", port,
                    "log_format brief '$status $body_bytes_sent'; access_log " + work + "/access.log brief;");
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/pkg", out = work + "/out";
    const std::string log = work + "/access.log";

    std::vector<double> fresh, resumed, received;
    size_t lines = 0;
    for (int round = 0; round < runs; ++round) {
        std::remove(out.c_str());
        fresh.push_back(seconds_of(url, out));
        lines += sent_since(log, lines).size();
        std::remove(out.c_str());

        const pid_t child = fork();
        if (child == 0) {
            char status[TBOX_DOWNLOAD_STATUS_SIZE];
            _exit(DownloadUpgradePkg(url.c_str(), out.c_str(), nullptr, status) == 0 ? 0 : 1);
        }
        while (size_of(out + ".part") < size / 2) usleep(200);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // What the killed process had received: it writes every block to the part file as it arrives.
        const long long stored = size_of(out + ".part");
        usleep(100000);  // nginx logs the cut request once it notices
        resumed.push_back(seconds_of(url, out));
        const std::vector<long long> requests = sent_since(log, lines);  // the cut one, then the resumption
        lines += requests.size();
        long long sent = 0;
        for (const long long n : requests) sent += n;
        const long long again = requests.empty() ? 0 : requests.back();
        received.push_back(static_cast<double>(stored + again) / static_cast<double>(size));
        std::printf("round %d: fresh %.3f s, resumed %.3f s, received %.4f x (nginx sent %.4f x)\n", round + 1,
                    fresh.back(), resumed.back(), received.back(),
                    static_cast<double>(sent) / static_cast<double>(size));
    }
    kill(nginx, SIGKILL);
    waitpid(nginx, nullptr, 0);
    kill(daemonPid, SIGTERM);
    std::system(("rm -rf " + work).c_str());

    const double bytes = median(received), time = median(resumed) / median(fresh);
    std::printf(
        "%lld MiB cut at half: received %.4f x the size (target <= %.2f), resumed call %.3f x a fresh "
        "download (target <= %.2f); medians of %d interleaved rounds\n",
        mib, bytes, kBytesTarget, time, kTimeTarget, runs);
    return bytes <= kBytesTarget && time <= kTimeTarget ? 0 : 1;
}
