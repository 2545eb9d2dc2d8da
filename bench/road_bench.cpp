// The whole upgrade road for a difference package, measured against the chain of standard tools, both
// fetching from a real nginx on 127.0.0.1 (Debian's nginx-light).
//
// Ours: DownloadUpgradePkg with the expected SHA-256 (checked as the bytes arrive), then BSDiffPatchFile.
// Peer: `curl -sf -o`, `sha256sum -c`, `bspatch`, one after the other, as an upgrade script would run them.
// The package is a bsdiff 4.0 patch of about N MiB (default 64): a changed copy of the first half of the
// old file (a sparse difference block) followed by N MiB of new bytes (the extra block), which is what a
// large difference package mostly is. Rounds alternate which side goes first; each side's median is taken.
// Target: ours <= 0.7 x the peer's time. Both outputs must equal the new file.
//
// Usage: road_bench [--mib N] [--runs N]. Exits 1 when a target is missed or an output differs, 2 when it
// cannot run.
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
#include <string>
#include <vector>

#include "bench_support.h"
#include "tbox/patch.h"
#include "tbox/upgrade.h"

namespace {

using tbox::bench::die;
using tbox::bench::free_port;
using tbox::bench::shell_output;
using tbox::bench::start_nginx;
using tbox::bench::start_private_bus;

using Clock = std::chrono::steady_clock;
constexpr double kTimeTarget = 0.7;

// old (2N MiB of noise), new (its first N MiB with one byte in 4096 changed, then N MiB of new noise) and
// the bsdiff 4.0 patch between them (docs/formats/bsdiff40.md), written by python3's bz2 module.
const char *const kMakePatch = R"PY(
import bz2, random, struct, sys
work, mib = sys.argv[1], int(sys.argv[2])
n = mib << 20
rnd = random.Random(1)
old = rnd.randbytes(2 * n)
fresh = rnd.randbytes(n)
diff = bytearray(n)
diff[::4096] = b"\x01" * len(diff[::4096])
new = bytes((o + d) & 0xFF for o, d in zip(old[:n:4096], diff[::4096]))
head = bytearray(old[:n])
head[::4096] = new
def num(v):
    return struct.pack("<Q", abs(v) | (1 << 63 if v < 0 else 0))
ctrl = bz2.compress(num(n) + num(n) + num(0))
diffz = bz2.compress(bytes(diff))
extra = bz2.compress(fresh)
with open(work + "/old", "wb") as f: f.write(old)
with open(work + "/new", "wb") as f: f.write(bytes(head) + fresh)
with open(work + "/www/pkg.patch", "wb") as f:
    f.write(b"BSDIFF40" + num(len(ctrl)) + num(len(diffz)) + num(2 * n) + ctrl + diffz + extra)
)PY";

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Each side's time, split at its steps: download (+ digest), digest (the peer's second read), patch.
struct Split {
    double fetch = 0, digest = 0, patch = 0;
    double total() const { return fetch + digest + patch; }
};

Split ours(const std::string &url, const std::string &sha256, const std::string &work) {
    const std::string fetched = work + "/ours.patch", rebuilt = work + "/ours.new";
    std::remove(fetched.c_str());
    std::remove(rebuilt.c_str());
    Split t;
    auto start = Clock::now();
    TboxDownloadOptions options{};
    options.size = sizeof options;
    options.sha256 = sha256.c_str();
    char status[TBOX_DOWNLOAD_STATUS_SIZE];
    if (DownloadUpgradePkg(url.c_str(), fetched.c_str(), &options, status) != 0) die(std::string("ours: ") + status);
    t.fetch = seconds_since(start);
    start = Clock::now();
    if (BSDiffPatchFile((work + "/old").c_str(), rebuilt.c_str(), fetched.c_str()) != 0) die("ours: patch failed");
    t.patch = seconds_since(start);
    return t;
}

double timed(const std::string &command) {
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) die("peer failed: " + command);
    return seconds_since(start);
}

Split peer(const std::string &url, const std::string &sha256, const std::string &work) {
    const std::string fetched = work + "/peer.patch", rebuilt = work + "/peer.new";
    std::remove(fetched.c_str());
    std::remove(rebuilt.c_str());
    Split t;
    t.fetch = timed("curl -sf -o " + fetched + " " + url);
    t.digest = timed("echo '" + sha256 + "  " + fetched + "' | sha256sum -c --quiet");
    t.patch = timed("bspatch " + work + "/old " + rebuilt + " " + fetched);
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool same_file(const std::string &a, const std::string &b) {
    return std::system(("cmp -s " + a + " " + b).c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    long long mib = 64;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--mib") mib = std::atoll(argv[i + 1]);
        if (opt == "--runs") runs = std::atoi(argv[i + 1]);
    }
    if (access("/usr/sbin/nginx", X_OK) != 0) die("/usr/sbin/nginx missing (scripts/bootstrap installs nginx-light)");
    if (access("/usr/bin/bspatch", X_OK) != 0) die("/usr/bin/bspatch missing (Debian's bsdiff package)");
    const pid_t daemonPid = start_private_bus();
    if (InitUpgradeClient() != 0) die("InitUpgradeClient");

    char dirTemplate[] = "/tmp/tbox_road_bench.XXXXXX";
    const std::string work = mkdtemp(dirTemplate);
    mkdir((work + "/www").c_str(), 0755);
    std::ofstream(work + "/make_patch.py") << kMakePatch;
    std::printf("making a %lld MiB difference package ...\n", mib);
    std::fflush(stdout);
    if (std::system(("python3 " + work + "/make_patch.py " + work + " " + std::to_string(mib)).c_str()) != 0) {
        die("cannot make the package");
    }
    const std::string patch = work + "/www/pkg.patch";
    const std::string sha256 = shell_output("sha256sum " + patch).substr(0, 64);
    const int port = free_port();
    const pid_t nginx = start_nginx(work, work + "/www", port, "access_log off;");
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/pkg.patch";

    struct stat st {};
    stat(patch.c_str(), &st);
    std::printf("package %.1f MiB, new file %lld MiB\n", static_cast<double>(st.st_size) / (1 << 20), 2 * mib);
    std::vector<double> ourTimes, peerTimes;
    std::vector<Split> ourSplits, peerSplits;
    bool equal = true;
    for (int round = 0; round < runs; ++round) {
        if (round % 2 == 0) {
            ourSplits.push_back(ours(url, sha256, work));
            peerSplits.push_back(peer(url, sha256, work));
        } else {
            peerSplits.push_back(peer(url, sha256, work));
            ourSplits.push_back(ours(url, sha256, work));
        }
        ourTimes.push_back(ourSplits.back().total());
        peerTimes.push_back(peerSplits.back().total());
        equal = equal && same_file(work + "/ours.new", work + "/new") && same_file(work + "/peer.new", work + "/new");
        const Split &o = ourSplits.back(), &p = peerSplits.back();
        std::printf(
            "round %d: ours %.3f s (download+digest %.3f, patch %.3f), peer %.3f s (curl %.3f, sha256sum "
            "%.3f, bspatch %.3f)\n",
            round + 1, o.total(), o.fetch, o.patch, p.total(), p.fetch, p.digest, p.patch);
    }
    kill(nginx, SIGKILL);
    waitpid(nginx, nullptr, 0);
    kill(daemonPid, SIGTERM);
    std::system(("rm -rf " + work).c_str());

    const double ratio = median(ourTimes) / median(peerTimes);
    std::printf(
        "whole road, %lld MiB difference package: ours %.3f s, peer %.3f s, ratio %.3f (target <= %.2f); "
        "medians of %d interleaved rounds%s\n",
        mib, median(ourTimes), median(peerTimes), ratio, kTimeTarget, runs, equal ? "" : "; OUTPUT DIFFERS");
    return equal && ratio <= kTimeTarget ? 0 : 1;
}
