// The upgrade road's file steps, measured (run as root: it needs a private mount namespace for /oemdata).
//
// Throughput: DownloadUpgradeFile fetching a 256 MiB body from a loopback HTTP server (sendfile, in a child
// process) beside `curl -s -o` of the same URL into the same place; best of N alternating runs each. The
// ratio is SDK time / curl time; the target is at most 1.1.
//
// Memory: the whole road for a 64 MiB package (download the bsdiff patch, CheckUpgradePkgSha256,
// RestoreUpgradePkg type 2 against /oemdata/upgrade/old_upgrade.tgz) in a fresh process, whose peak
// resident set above its baseline must stay within the old package plus 12 MiB (never the package twice).
//
// Usage: download_bench [--mib N] [--package-mib N] [--runs N]. Exits 1 when a target is missed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bench_support.h"
#include "tbox/upgrade.h"

namespace {

using tbox::bench::die;
using tbox::bench::shell_output;
using tbox::bench::start_private_bus;
using tbox::bench::write_noise;

using Clock = std::chrono::steady_clock;
constexpr double kThroughputTarget = 1.1;
constexpr long kMemorySlackKiB = 12 * 1024;

// A loopback HTTP server in a child process: GET /<name> answers the file <dir>/<name> with sendfile.
pid_t serve(const std::string &dir, int *port) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        die("listen");
    }
    *port = ntohs(addr.sin_port);
    const pid_t pid = fork();
    if (pid != 0) {
        close(listener);
        return pid;
    }
    for (;;) {
        const int c = accept(listener, nullptr, nullptr);
        if (c < 0) continue;
        std::string request;
        char buf[1024];
        ssize_t n;
        while (request.find("\r\n\r\n") == std::string::npos && (n = read(c, buf, sizeof buf)) > 0) {
            request.append(buf, static_cast<size_t>(n));
        }
        const size_t start = request.find(' ') + 2, end = request.find(' ', start);
        const std::string name = request.substr(start, end - start);
        const int fd = name.find('/') == std::string::npos ? open((dir + "/" + name).c_str(), O_RDONLY) : -1;
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            const char notFound[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            (void)!write(c, notFound, sizeof notFound - 1);
        } else {
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
            (void)!write(c, head.data(), head.size());
            off_t offset = 0;
            while (offset < st.st_size && sendfile(c, fd, &offset, static_cast<size_t>(st.st_size - offset)) > 0) {
            }
            close(fd);
        }
        close(c);
    }
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// --road URL SHA256 WORKDIR: the road in this (fresh) process; prints "<baseline KiB> <peak KiB>".
int road(const char *url, const char *sha256, const std::string &work) {
    if (InitUpgradeClient() != 0) return 2;
    const long baseline = peak_kib();
    char status[TBOX_DOWNLOAD_STATUS_SIZE];
    const std::string patch = work + "/pkg.patch", complete = work + "/complete.tgz";
    if (DownloadUpgradeFile(url, patch.c_str(), status) != 0) return std::fprintf(stderr, "%s", status), 2;
    if (CheckUpgradePkgSha256(patch.c_str(), sha256, status) != 0) return std::fprintf(stderr, "%s\n", status), 2;
    if (RestoreUpgradePkg(patch.c_str(), complete.c_str(), TBOX_RESTORE_DIFF, status) != 0) {
        return std::fprintf(stderr, "%s\n", status), 2;
    }
    std::printf("%ld %ld\n", baseline, peak_kib());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "--road") == 0) return road(argv[2], argv[3], argv[4]);
    size_t mib = 256, packageMib = 64;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (opt == "--mib") mib = static_cast<size_t>(value);
        if (opt == "--package-mib") packageMib = static_cast<size_t>(value);
        if (opt == "--runs") runs = static_cast<int>(value);
    }
    // The box's /oemdata, private to this process and its children.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        die("private mount namespace (run as root)");
    }
    mkdir("/oemdata", 0755);
    if (mount("tmpfs", "/oemdata", "tmpfs", 0, "mode=0755") != 0) die("tmpfs on /oemdata");
    mkdir("/oemdata/upgrade", 0755);
    // A bus for the upgrade client's proxy (the steps refuse before InitUpgradeClient).
    const pid_t daemonPid = start_private_bus();
    if (InitUpgradeClient() != 0) die("InitUpgradeClient");

    char dirTemplate[] = "/tmp/tbox_download_bench.XXXXXX";
    const std::string work = mkdtemp(dirTemplate);
    const std::string data = TBOX_BENCH_DATA "/download-" + std::to_string(packageMib);
    std::system(("mkdir -p " + data).c_str());
    int port = 0;
    write_noise(work + "/body", mib << 20, 1);
    const pid_t server = serve(work, &port);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const std::string out = work + "/out";

    double best[2] = {1e9, 1e9};
    for (int run = 0; run < runs; ++run) {
        char status[TBOX_DOWNLOAD_STATUS_SIZE];
        auto start = Clock::now();
        if (DownloadUpgradeFile((base + "/body").c_str(), out.c_str(), status) != 0) die(status);
        best[0] = std::min(best[0], seconds_since(start));
        start = Clock::now();
        if (std::system(("curl -s -o " + out + " " + base + "/body").c_str()) != 0) die("curl");
        best[1] = std::min(best[1], seconds_since(start));
    }
    const double ratio = best[0] / best[1];
    std::printf("download %zu MiB: DownloadUpgradeFile %.0f MiB/s, curl -o %.0f MiB/s, ratio %.3f (target <= %.1f)\n",
                mib, double(mib) / best[0], double(mib) / best[1], ratio, kThroughputTarget);

    // The road: old package, new package and their bsdiff patch (cached; bsdiff takes a while).
    const std::string old = data + "/old", next = data + "/new", patch = data + "/patch";
    if (access(patch.c_str(), R_OK) != 0) {
        write_noise(old, packageMib << 20, 2);
        std::system(("cp " + old + " " + next + " && printf 'a release note' | dd of=" + next +
                     " bs=1 seek=4096 conv=notrunc 2>/dev/null && head -c 1048576 /dev/urandom >> " + next +
                     " && bsdiff " + old + " " + next + " " + patch)
                        .c_str());
    }
    std::system(("cp " + old + " /oemdata/upgrade/old_upgrade.tgz && cp " + patch + " " + work + "/patch").c_str());
    const std::string sha = shell_output("sha256sum < " + patch + " | cut -c1-64");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string result = shell_output(self + " --road " + base + "/patch " + sha + " " + work);
    long baseline = 0, peak = 0;
    const bool roadOk = std::sscanf(result.c_str(), "%ld %ld", &baseline, &peak) == 2;
    const bool same = roadOk && shell_output("cmp " + work + "/complete.tgz " + next + " && echo same") == "same";
    struct stat st {};
    stat(old.c_str(), &st);
    const long oldKiB = static_cast<long>(st.st_size / 1024);
    const long above = peak - baseline;
    std::printf(
        "road for a %zu MiB package: peak %ld KiB, baseline %ld KiB, above baseline %ld KiB = old package + "
        "%.1f MiB (target <= old + %ld MiB), output %s\n",
        packageMib, peak, baseline, above, double(above - oldKiB) / 1024, kMemorySlackKiB / 1024,
        same ? "identical to the new package" : "WRONG");

    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    kill(daemonPid, SIGTERM);
    std::system(("rm -rf " + work).c_str());
    return ratio <= kThroughputTarget && same && above <= oldKiB + kMemorySlackKiB ? 0 : 1;
}
