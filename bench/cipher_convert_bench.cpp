// The conversion and cipher hot paths against their peers, each as a ratio of times (ours / peer; above 1
// we are slower), the median of per-round ratios over rounds that alternate which side goes first:
//   base64_decode  against EVP_DecodeBlock on the same single-line text, in process
//   base64_encode  against EVP_EncodeBlock per 48-byte line plus the newline, in process
//   crc32          against zlib's crc32(), in process
//   Aes256EcbEncrypt/Decrypt, file to file, against `openssl enc -aes-256-ecb [-d]`
// Every pair of outputs is compared. The encoder's peak memory above its input and output is what it
// takes from the heap during one call: this program counts the heap through malloc, calloc, realloc and
// free, which it defines over the C library's own.
//
// Usage: cipher_convert_bench [--rounds N] [--base64-mib N] [--crc-mib N] [--file-mib N] [--only NAME]
// Exits 1 when an output differs from its peer's or a target is missed.
#include <fcntl.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <tbox/cipher.h>
#include <tbox/convert.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {

std::atomic<long> g_heapNow{0};
std::atomic<long> g_heapPeak{0};

void *counted(void *p) {
    if (p != nullptr) {
        const long now = g_heapNow += static_cast<long>(malloc_usable_size(p));
        long peak = g_heapPeak.load();
        while (now > peak && !g_heapPeak.compare_exchange_weak(peak, now)) {
        }
    }
    return p;
}

void uncount(void *p) {
    if (p != nullptr) g_heapNow -= static_cast<long>(malloc_usable_size(p));
}

}  // namespace

extern "C" void *malloc(size_t n) {
    return counted(__libc_malloc(n));
}
extern "C" void *calloc(size_t n, size_t size) {
    return counted(__libc_calloc(n, size));
}
extern "C" void *realloc(void *p, size_t n) {
    uncount(p);
    return counted(__libc_realloc(p, n));
}
extern "C" void free(void *p) {
    uncount(p);
    __libc_free(p);
}

namespace {

using Clock = std::chrono::steady_clock;

// base64_encode reports every call on standard output; the table goes to a copy of it.
FILE *g_report = stdout;

struct Options {
    int rounds = 7;
    size_t base64Mib = 16;
    size_t crcMib = 64;
    size_t fileMib = 256;
    std::string only;  // run only the benchmarks whose name starts with this
};

double seconds(const std::function<void()> &fn) {
    const auto start = Clock::now();
    fn();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
    double ours, peer, ratio;  // median seconds, median of the per-round ratios
};

// Rounds alternate which side runs first, so machine load and cache state hit both alike. Each side's
// sample is `reps` calls.
Result interleaved(int rounds, const std::function<void()> &ours, const std::function<void()> &peer, int reps = 1) {
    std::vector<double> a, b, r;
    for (int i = 0; i < rounds; ++i) {
        double x = 0, y = 0;
        if (i % 2 == 0) {
            x = seconds([&] {
                for (int k = 0; k < reps; ++k) ours();
            });
            y = seconds([&] {
                for (int k = 0; k < reps; ++k) peer();
            });
        } else {
            y = seconds([&] {
                for (int k = 0; k < reps; ++k) peer();
            });
            x = seconds([&] {
                for (int k = 0; k < reps; ++k) ours();
            });
        }
        a.push_back(x);
        b.push_back(y);
        r.push_back(x / y);
    }
    return {median(a) / reps, median(b) / reps, median(r)};
}

bool report(const char *what, const char *peer, double mib, const Result &res, double target, bool same) {
    const bool met = res.ratio <= target;
    std::fprintf(g_report, "%-26s %8.1f MiB/s   %-30s %8.1f MiB/s   ratio %.3f (target <= %.2f) %-6s outputs %s\n",
                 what, mib / res.ours, peer, mib / res.peer, res.ratio, target, met ? "met" : "MISSED",
                 same ? "identical" : "DIFFER");
    return met && same;
}

std::vector<unsigned char> random_bytes(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    std::mt19937_64 gen(seed);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t x = gen();
        std::memcpy(&v[i], &x, 8);
    }
    return v;
}

// ---------------------------------------------------------------------------------------------------------
// base64

size_t encoded_room(size_t n) {
    const size_t chars = 4 * ((n + 2) / 3);
    return chars + (chars + 63) / 64 + 1;
}

// The peer of base64_encode: EVP_EncodeBlock per line of 48 bytes, then the newline.
int peer_encode(const unsigned char *in, size_t n, char *out) {
    char *o = out;
    for (size_t at = 0; at < n; at += 48) {
        const int line = static_cast<int>(std::min<size_t>(48, n - at));
        o += EVP_EncodeBlock(reinterpret_cast<unsigned char *>(o), in + at, line);
        *o++ = '\n';
    }
    *o = '\0';
    return static_cast<int>(o - out);
}

// Heap that one base64_encode call takes at its peak, in KiB.
long encode_heap_peak_kib(const std::vector<unsigned char> &in, std::vector<char> &out) {
    g_heapPeak = g_heapNow.load();
    const long before = g_heapPeak;
    base64_encode(reinterpret_cast<char *>(const_cast<unsigned char *>(in.data())), static_cast<int>(in.size()),
                  out.data());
    return (g_heapPeak - before) / 1024;
}

bool bench_base64(const Options &o) {
    const size_t n = o.base64Mib << 20;
    std::vector<unsigned char> bytes = random_bytes(n, 1);
    std::vector<char> ours(encoded_room(n)), peer(encoded_room(n));
    int ourLen = 0, peerLen = 0;
    const Result enc = interleaved(
        o.rounds,
        [&] { ourLen = base64_encode(reinterpret_cast<char *>(bytes.data()), static_cast<int>(n), ours.data()); },
        [&] { peerLen = peer_encode(bytes.data(), n, peer.data()); }, 4);
    bool ok = report("base64_encode", "EVP_EncodeBlock + newlines", static_cast<double>(o.base64Mib), enc, 1.10,
                     ourLen == peerLen && std::memcmp(ours.data(), peer.data(), static_cast<size_t>(ourLen) + 1) == 0);
    const long extra = encode_heap_peak_kib(bytes, ours);
    std::fprintf(g_report, "%-26s heap taken during one call, at its peak: %ld KiB (target <= 64)\n", "", extra);
    ok = ok && extra <= 64;

    // The decoder takes single-line text.
    std::string text(ours.data(), static_cast<size_t>(ourLen));
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    std::vector<char> back(text.size() / 4 * 3 + 4), peerBack(text.size() / 4 * 3 + 4);
    int ourBytes = 0, peerBytes = 0;
    const Result dec = interleaved(
        o.rounds, [&] { ourBytes = base64_decode(text.data(), static_cast<int>(text.size()), back.data()); },
        [&] {
            peerBytes =
                EVP_DecodeBlock(reinterpret_cast<unsigned char *>(peerBack.data()),
                                reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
        },
        4);
    // EVP_DecodeBlock counts the padding's zero bytes; the decoded bytes are the input's.
    const bool same = ourBytes == static_cast<int>(n) && peerBytes >= ourBytes &&
                      std::memcmp(back.data(), bytes.data(), n) == 0 &&
                      std::memcmp(peerBack.data(), bytes.data(), n) == 0;
    ok = report("base64_decode", "EVP_DecodeBlock", static_cast<double>(o.base64Mib), dec, 1.10, same) && ok;
    return ok;
}

// ---------------------------------------------------------------------------------------------------------
// CRC-32

uint32_t bitwise_crc(uint32_t poly, const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    while (n-- > 0) {
        c ^= *p++;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) != 0 ? poly : 0u);
    }
    return c ^ 0xFFFFFFFFu;
}

bool bench_crc(const Options &o) {
    const size_t n = o.crcMib << 20;
    std::vector<unsigned char> data = random_bytes(n, 2);
    char *bytes = reinterpret_cast<char *>(data.data());
    uint32_t ours = 0;
    uLong peer = 0;
    crc32(bytes, 1);  // the table is built before timing
    const Result res = interleaved(
        o.rounds, [&] { ours = crc32(bytes, static_cast<int>(n)); },
        [&] { peer = ::crc32(0L, data.data(), static_cast<uInt>(n)); }, 2);
    bool same = ours == peer;
    // Any reflected polynomial, against the bit-wise definition.
    std::mt19937 gen(5);
    for (int i = 0; i < 20 && same; ++i) {
        POLYNOMIAL = static_cast<uint32_t>(gen()) | 0x80000000u;
        make_table();
        same = crc32(bytes + i, 1 << 16) == bitwise_crc(POLYNOMIAL, data.data() + i, 1 << 16);
    }
    POLYNOMIAL = 0xEDB88320u;
    make_table();
    return report("crc32", "zlib crc32()", static_cast<double>(o.crcMib), res, 1.00, same);
}

// ---------------------------------------------------------------------------------------------------------
// AES-256-ECB, file to file

bool same_files(const std::string &a, const std::string &b) {
    return std::system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

bool bench_aes(const Options &o) {
    char tmpl[] = "/tmp/cipher_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return false;
    const std::string dir = tmpl, plain = dir + "/plain", ours = dir + "/ours", peer = dir + "/peer",
                      back = dir + "/back", peerBack = dir + "/peer_back";
    FILE *f = std::fopen(plain.c_str(), "wb");
    for (size_t i = 0; i < o.fileMib; ++i) {
        const std::vector<unsigned char> chunk = random_bytes(1 << 20, static_cast<unsigned>(i));
        std::fwrite(chunk.data(), 1, chunk.size(), f);
    }
    std::fwrite("tail", 1, 4, f);  // not a whole number of blocks
    std::fclose(f);
    unsigned char key[32];
    std::string hex;
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<unsigned char>(i * 7 + 1);
        char b[3];
        std::snprintf(b, sizeof b, "%02x", key[i]);
        hex += b;
    }
    int rc = 0;
    auto file_to_file = [&rc, &key](decltype(&Aes256EcbEncrypt) fn, const std::string &from, const std::string &to) {
        FILE *in = std::fopen(from.c_str(), "rb");
        FILE *out = std::fopen(to.c_str(), "wb");
        rc |= fn(key, in, out);
        std::fclose(in);
        std::fclose(out);
    };
    auto tool = [&rc, &hex](const char *flags, const std::string &from, const std::string &to) {
        rc |= std::system(
            ("openssl enc -aes-256-ecb " + std::string(flags) + " -K " + hex + " -in " + from + " -out " + to).c_str());
    };
    const double mib = static_cast<double>(o.fileMib);
    const Result enc = interleaved(
        o.rounds, [&] { file_to_file(Aes256EcbEncrypt, plain, ours); }, [&] { tool("", plain, peer); });
    bool ok = report("Aes256EcbEncrypt", "openssl enc -aes-256-ecb", mib, enc, 1.00, rc == 0 && same_files(ours, peer));
    const Result dec = interleaved(
        o.rounds, [&] { file_to_file(Aes256EcbDecrypt, peer, back); }, [&] { tool("-d", peer, peerBack); });
    ok = report("Aes256EcbDecrypt", "openssl enc -aes-256-ecb -d", mib, dec, 1.00,
                rc == 0 && same_files(back, peerBack) && same_files(back, plain)) &&
         ok;
    std::system(("rm -rf '" + dir + "'").c_str());
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char *value = argv[i + 1];
        if (flag == "--rounds") o.rounds = std::atoi(value);
        if (flag == "--base64-mib") o.base64Mib = std::strtoul(value, nullptr, 10);
        if (flag == "--crc-mib") o.crcMib = std::strtoul(value, nullptr, 10);
        if (flag == "--file-mib") o.fileMib = std::strtoul(value, nullptr, 10);
        if (flag == "--only") o.only = value;
    }
    const int table = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    g_report = table >= 0 ? fdopen(table, "w") : nullptr;
    if (g_report == nullptr || null < 0 || dup2(null, STDOUT_FILENO) < 0) return 2;
    setvbuf(g_report, nullptr, _IOLBF, 0);
    std::fprintf(g_report, "ratio = our time / peer time, median of %d interleaved rounds\n", o.rounds);
    const auto wanted = [&o](const char *name) { return o.only.empty() || std::string(name).rfind(o.only, 0) == 0; };
    bool ok = true;
    if (wanted("base64")) ok = bench_base64(o) && ok;
    if (wanted("crc")) ok = bench_crc(o) && ok;
    if (wanted("aes")) ok = bench_aes(o) && ok;
    return ok ? 0 : 1;
}
