// Patch and digest benchmark: the SDK (through patch_digest_tool, one process per run) against Debian's
// bspatch and coreutils' md5sum/sha256sum, on the same files, measuring wall time and peak memory
// (ru_maxrss of the child). Test data is generated once and cached under the build directory.
//
// Usage: bench_patch_digest [--patch-mib N] [--digest-mib N] [--runs N]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kTool = TBOX_TOOL;
const std::string kData = TBOX_BENCH_DATA;

struct Run {
    double seconds = 0;
    long peak_kib = 0;
    int status = -1;
    std::string out;  // first line of standard output
};

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs argv under /usr/bin/time, which reports the command's peak resident set. (A child forked
// from this process would start with this process's resident set as its high-water mark.)
// stdout goes to a file, stderr passes through.
Run run(const std::vector<std::string> &argv) {
    const std::string out_path = kData + "/stdout.txt", rss_path = kData + "/maxrss.txt";
    std::vector<std::string> cmd = {"/usr/bin/time", "-f", "%M", "-o", rss_path};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    const double start = now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        std::vector<char *> args;
        for (const auto &a : cmd) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    Run r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.seconds = now() - start;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream rss(rss_path);
    std::string line;
    while (std::getline(rss, line)) r.peak_kib = std::atol(line.c_str());  // last line: "Command exited..." precedes it
    std::ifstream in(out_path);
    std::getline(in, r.out);
    return r;
}

// Best time and highest peak over `runs` runs, after one warm-up run (page cache).
Run measure(const std::vector<std::string> &argv, int runs) {
    Run best = run(argv);
    if (best.status != 0) return best;
    best.seconds = 1e30;
    for (int i = 0; i < runs; ++i) {
        const Run r = run(argv);
        if (r.status != 0) return r;
        best.peak_kib = std::max(best.peak_kib, r.peak_kib);
        best.seconds = std::min(best.seconds, r.seconds);
        best.out = r.out;
        best.status = 0;
    }
    return best;
}

bool exists(const std::string &p) {
    return access(p.c_str(), F_OK) == 0;
}

uint64_t g_seed = 0x9E3779B97F4A7C15ull;
uint64_t next_random() {
    g_seed ^= g_seed << 13;
    g_seed ^= g_seed >> 7;
    g_seed ^= g_seed << 17;
    return g_seed;
}

void write_file(const std::string &path, const std::string &data) {
    const std::string tmp = path + ".part";
    std::ofstream(tmp, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    std::rename(tmp.c_str(), path.c_str());
}

// Old file: real shared libraries, concatenated in name order (topped up with pseudo-random bytes).
std::string make_old(size_t size) {
    const std::string dir = "/usr/lib/x86_64-linux-gnu";
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (std::strstr(e->d_name, ".so") != nullptr) names.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string data;
    for (const auto &n : names) {
        struct stat st {};
        if (data.size() >= size || lstat(n.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::ifstream in(n, std::ios::binary);
        data.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    while (data.size() < size) data.push_back(static_cast<char>(next_random()));
    data.resize(size);
    return data;
}

// New file: the old one as the next release might change it: a quarter of the 4 KiB pages get a
// changed word (moved addresses), four 256 KiB runs of new code are inserted and 1 MiB is dropped.
std::string make_new(const std::string &old) {
    std::string data = old;
    for (size_t page = 0; page + 4096 <= data.size(); page += 4096) {
        if (next_random() % 4 != 0) continue;
        const size_t at = page + next_random() % 4092;
        for (int i = 0; i < 4; ++i) data[at + i] = static_cast<char>(next_random());
    }
    for (int k = 4; k >= 1; --k) {
        std::string fresh(256 * 1024, '\0');
        for (auto &c : fresh) c = static_cast<char>(next_random());
        data.insert(data.size() * static_cast<size_t>(k) / 5, fresh);
    }
    data.erase(data.size() / 7, 1024 * 1024);
    return data;
}

void make_random_file(const std::string &path, size_t size) {
    const std::string tmp = path + ".part";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    std::vector<uint64_t> block(1 << 17);
    for (size_t done = 0; done < size; done += block.size() * 8) {
        for (auto &w : block) w = next_random();
        std::fwrite(block.data(), 1, std::min(block.size() * 8, size - done), f);
    }
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

double mib(long kib) {
    return static_cast<double>(kib) / 1024.0;
}

bool g_all_ok = true;

void report(const char *what, const Run &sdk, const Run &peer, const char *peer_name, double max_ratio,
            double max_peak_mib) {
    if (sdk.status != 0 || peer.status != 0) {
        std::printf("%-22s FAILED (sdk exit %d, %s exit %d)\n", what, sdk.status, peer_name, peer.status);
        g_all_ok = false;
        return;
    }
    const double ratio = sdk.seconds / peer.seconds;
    bool ok = ratio <= max_ratio;
    if (max_peak_mib > 0) ok = ok && mib(sdk.peak_kib) < max_peak_mib;
    g_all_ok = g_all_ok && ok;
    std::printf("%-22s sdk %7.3f s %7.1f MiB | %-9s %7.3f s %7.1f MiB | time ratio %.2f (target <= %.2f)", what,
                sdk.seconds, mib(sdk.peak_kib), peer_name, peer.seconds, mib(peer.peak_kib), ratio, max_ratio);
    if (max_peak_mib > 0) std::printf(", peak target < %.0f MiB", max_peak_mib);
    std::printf("  %s\n", ok ? "OK" : "MISSED");
}

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    size_t patch_mib = 64, digest_mib = 512;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--patch-mib") == 0) patch_mib = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--digest-mib") == 0) digest_mib = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    }
    mkdir(kData.c_str(), 0755);

    // --- patch ---
    const std::string tag = std::to_string(patch_mib) + "m";
    const std::string oldf = kData + "/old-" + tag, newf = kData + "/new-" + tag, patchf = kData + "/patch-" + tag;
    if (!exists(patchf)) {
        std::printf("generating %zu MiB old/new files and their bsdiff patch (cached in %s) ...\n", patch_mib,
                    kData.c_str());
        std::fflush(stdout);
        const std::string old_data = make_old(patch_mib << 20);
        write_file(oldf, old_data);
        write_file(newf, make_new(old_data));
        const Run diff = run({"/usr/bin/bsdiff", oldf, newf, patchf + ".part"});
        if (diff.status != 0) {
            std::printf("bsdiff failed (exit %d)\n", diff.status);
            return 1;
        }
        std::rename((patchf + ".part").c_str(), patchf.c_str());
        std::printf("bsdiff: %.1f s, peak %.0f MiB\n", diff.seconds, mib(diff.peak_kib));
    }
    struct stat pst {
    }, nst{};
    stat(patchf.c_str(), &pst);
    stat(newf.c_str(), &nst);
    std::printf("patch: old %zu MiB, new %.1f MiB, patch %.1f MiB; best of %d runs\n", patch_mib,
                static_cast<double>(nst.st_size) / 1048576.0, static_cast<double>(pst.st_size) / 1048576.0, runs);
    const std::string out_sdk = kData + "/out-sdk", out_peer = kData + "/out-peer";
    const Run sdk_patch = measure({kTool, "patch", oldf, out_sdk, patchf}, runs);
    const Run peer_patch = measure({"/usr/bin/bspatch", oldf, out_peer, patchf}, runs);
    const Run check_sdk = run({"sha256sum", out_sdk}), check_new = run({"sha256sum", newf});
    if (check_sdk.out.substr(0, 64) != check_new.out.substr(0, 64)) {
        std::printf("BSDiffPatchFile output differs from the new file\n");
        g_all_ok = false;
    }
    report("BSDiffPatchFile", sdk_patch, peer_patch, "bspatch", 1.0, 0);
    unlink(out_sdk.c_str());
    unlink(out_peer.c_str());

    // --- digests ---
    const std::string big = kData + "/random-" + std::to_string(digest_mib) + "m";
    if (!exists(big)) make_random_file(big, digest_mib << 20);
    std::printf("digests: %zu MiB file; best of %d runs\n", digest_mib, runs);
    const Run sdk_md5 = measure({kTool, "md5", big}, runs), peer_md5 = measure({"md5sum", big}, runs);
    const Run sdk_sha = measure({kTool, "sha256", big}, runs), peer_sha = measure({"sha256sum", big}, runs);
    if (lower(sdk_md5.out) != peer_md5.out.substr(0, 32) || lower(sdk_sha.out) != peer_sha.out.substr(0, 64)) {
        std::printf("digest texts differ from coreutils\n");
        g_all_ok = false;
    }
    report("FileMD5", sdk_md5, peer_md5, "md5sum", 1.1, 16);
    report("FileSHA256", sdk_sha, peer_sha, "sha256sum", 1.1, 16);
    std::printf("%s\n", g_all_ok ? "all targets met" : "some targets MISSED");
    return g_all_ok ? 0 : 1;
}
