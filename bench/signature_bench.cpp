// CheckUpgradePkgSignature, measured against `openssl dgst -sha256 -verify pub.pem -signature package.sig
// package` on the same 512 MiB package (noise in /dev/shm, removed at the end), for an ECDSA P-256 and an
// RSA-2048 release key made by openssl.
//
// Time: each side is one process started through the shell (ours: this program in --verify mode, which
// initialises the upgrade client and checks once), in rounds that alternate which side goes first; the
// ratio is the median of ours / openssl. The target is at most 1.1.
// Memory: the --verify process reports its peak resident set (getrusage ru_maxrss) before and after the
// check; the growth must stay under 16 MiB, whatever the package's size.
//
// Usage: signature_bench [--mib N] [--rounds N]. Exits 1 when a target is missed or a check fails.
#include <signal.h>
#include <sys/resource.h>
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
#include <vector>

#include "bench_support.h"
#include "tbox/upgrade.h"

namespace {

using tbox::bench::die;
using tbox::bench::shell_output;
using tbox::bench::start_private_bus;
using tbox::bench::write_noise;

using Clock = std::chrono::steady_clock;
constexpr double kTimeTarget = 1.1;
constexpr long kMemoryTargetKiB = 16 * 1024;

void sh(const std::string &command) {
    if (std::system(command.c_str()) != 0) die(command);
}

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// --verify PKG SIG PUB: one check in this fresh process; prints "<status>|<baseline KiB> <peak KiB> <seconds
// of the call alone>".
int verify_once(const char *pkg, const char *sig, const char *pub) {
    if (InitUpgradeClient() != 0) return 2;
    const long baseline = peak_kib();
    char status[TBOX_CHECK_STATUS_SIZE];
    const auto start = Clock::now();
    const int result = CheckUpgradePkgSignature(pkg, sig, pub, status);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%s|%ld %ld %.3f\n", status, baseline, peak_kib(), seconds);
    return result == 0 ? 0 : 1;
}

double run_seconds(const std::string &command) {
    const auto start = Clock::now();
    sh(command);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 != 0 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "--verify") == 0) return verify_once(argv[2], argv[3], argv[4]);
    size_t mib = 512;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--mib") mib = static_cast<size_t>(std::atol(argv[i + 1]));
        if (opt == "--rounds") rounds = std::atoi(argv[i + 1]);
    }
    // A bus for the upgrade client's proxy (the checks refuse before InitUpgradeClient).
    const pid_t daemonPid = start_private_bus();

    char dirTemplate[] = "/dev/shm/tbox_signature_bench.XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) die("mkdtemp");
    const std::string work = dirTemplate, pkg = work + "/package";
    write_noise(pkg, mib << 20, 1);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");

    bool ok = true;
    const std::pair<const char *, const char *> keys[] = {
        {"ECDSA P-256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"},
        {"RSA-2048", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048"},
    };
    for (const auto &[name, options] : keys) {
        const std::string key = work + "/key.pem", pub = work + "/pub.pem", sig = work + "/package.sig";
        sh("openssl genpkey " + std::string(options) + " -out " + key + " 2>/dev/null");
        sh("openssl pkey -in " + key + " -pubout -out " + pub);
        sh("openssl dgst -sha256 -sign " + key + " -out " + sig + " " + pkg);
        const std::string ours = self + " --verify " + pkg + " " + sig + " " + pub + " > " + work + "/out";
        const std::string peer =
            "openssl dgst -sha256 -verify " + pub + " -signature " + sig + " " + pkg + " >/dev/null";
        std::vector<double> ratios, oursTimes, peerTimes;
        for (int round = 0; round < rounds; ++round) {
            double a = 0, b = 0;
            if (round % 2 == 0) {
                a = run_seconds(ours);
                b = run_seconds(peer);
            } else {
                b = run_seconds(peer);
                a = run_seconds(ours);
            }
            oursTimes.push_back(a);
            peerTimes.push_back(b);
            ratios.push_back(a / b);
        }
        std::ifstream out(work + "/out");
        std::string line;
        std::getline(out, line);
        long baseline = 0, peak = 0;
        double callSeconds = 0;
        const size_t bar = line.find('|');
        const bool verified = bar != std::string::npos && line.substr(0, bar) == "upgrade:signature OK" &&
                              std::sscanf(line.c_str() + bar + 1, "%ld %ld %lf", &baseline, &peak, &callSeconds) == 3;
        const double ratio = median(ratios);
        const long grown = peak - baseline;
        std::printf(
            "%s, %zu MiB: ours %.3f s (its last call alone %.3f s), openssl %.3f s (medians of %d rounds), "
            "ratio %.3f (target <= %.1f); peak memory +%ld KiB (target < %ld KiB); %s\n",
            name, mib, median(oursTimes), callSeconds, median(peerTimes), rounds, ratio, kTimeTarget, grown,
            kMemoryTargetKiB, verified ? "verified" : ("NOT VERIFIED: " + line).c_str());
        ok = ok && verified && ratio <= kTimeTarget && grown < kMemoryTargetKiB;
    }
    kill(daemonPid, SIGTERM);
    std::filesystem::remove_all(work);
    return ok ? 0 : 1;
}
