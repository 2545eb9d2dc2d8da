// Conversion utilities: base64, CRC-32, hex and integer text, random digits, file size, sample
// maximum/minimum.
#include "tbox/convert.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "common/io.h"
#include "common/log.h"
#include "common/raii.h"

uint32_t POLYNOMIAL = 0xEDB88320u;
int have_table = 0;

// ---------------------------------------------------------------------------------------------------------
// CRC-32
//
// Braided table method: the data is read as five interleaved lanes of 8-byte words, each lane with its own
// CRC register, so five independent lookup chains run at once; the lanes are merged at the end of the
// run. byte[] is the classic byte-wise table of POLYNOMIAL; braid[k][n] is the register after byte n at
// position k of a word followed by the zero bytes up to the same lane's next word. By linearity of the
// CRC this gives the byte-wise loop's result for any polynomial. A table set is immutable once published
// and a set is kept for each polynomial ever used (never freed), so a crc32 call running while another
// thread rebuilds still reads a whole, valid table.
namespace {

constexpr int kLanes = 5;
constexpr int kWord = 8;
constexpr size_t kBlock = size_t{kLanes} * kWord;

struct CrcTables {
    uint32_t poly = 0;
    uint32_t byte[256] = {};
    uint32_t braid[kWord][256] = {};
    const CrcTables *next = nullptr;
};

constexpr uint32_t crc_step(const uint32_t (&byte)[256], uint32_t c, unsigned char b) {
    return byte[(c ^ b) & 0xFFu] ^ (c >> 8);
}

constexpr void fill_tables(CrcTables &out, uint32_t poly) {
    out.poly = poly;
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) != 0 ? poly : 0u);
        out.byte[n] = c;
    }
    for (int k = 0; k < kWord; ++k) {
        for (int n = 0; n < 256; ++n) {
            uint32_t c = out.byte[n];
            for (int z = 0; z < static_cast<int>(kBlock) - 1 - k; ++z) c = crc_step(out.byte, c, 0);
            out.braid[k][n] = c;
        }
    }
}

constexpr CrcTables make_default_tables() {
    CrcTables tables;
    fill_tables(tables, 0xEDB88320u);
    return tables;
}

// The initial polynomial's tables are computed at compile time: no allocation unless POLYNOMIAL changes.
constexpr CrcTables kDefaultTables = make_default_tables();

std::mutex g_crcBuildMutex;
const CrcTables *g_crcBuilt = nullptr;               // tables of other polynomials, newest first; guarded
std::atomic<const CrcTables *> g_crcInUse{nullptr};  // the table crc32 uses

// Bitwise CRC, only for the case that no table could be allocated.
uint32_t crc_bitwise(uint32_t poly, const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    while (n-- > 0) {
        c ^= *p++;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) != 0 ? poly : 0u);
    }
    return c ^ 0xFFFFFFFFu;
}

// Builds (or finds) the tables of the current POLYNOMIAL, puts them in use, then sets have_table.
// Returns nullptr only when memory runs out; the table in use is then left as it was.
const CrcTables *publish_tables() {
    std::lock_guard<std::mutex> lock(g_crcBuildMutex);
    const uint32_t poly = POLYNOMIAL;
    const CrcTables *tables = nullptr;
    if (poly == kDefaultTables.poly) tables = &kDefaultTables;
    for (const CrcTables *t = g_crcBuilt; tables == nullptr && t != nullptr; t = t->next) {
        if (t->poly == poly) tables = t;
    }
    if (tables == nullptr) {
        auto *fresh = new (std::nothrow) CrcTables;
        if (fresh == nullptr) {
            TBOX_LOG(err, "CRC table allocation failed\n");
            return nullptr;
        }
        fill_tables(*fresh, poly);
        fresh->next = g_crcBuilt;
        g_crcBuilt = fresh;
        tables = fresh;
    }
    g_crcInUse.store(tables, std::memory_order_release);
    __atomic_store_n(&have_table, 1, __ATOMIC_RELEASE);
    return tables;
}

inline uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// The register after the eight bytes of `data` (least significant first).
inline uint32_t crc_word(const CrcTables &tab, uint64_t data) {
    for (int k = 0; k < kWord; ++k) data = (data >> 8) ^ tab.byte[data & 0xFFu];
    return static_cast<uint32_t>(data);
}

uint32_t crc_braided(const CrcTables &tab, const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (; n > 0 && (reinterpret_cast<uintptr_t>(p) & (kWord - 1)) != 0; --n) c = crc_step(tab.byte, c, *p++);
    const size_t blocks = n / kBlock;
    if (blocks > 0) {
        const auto &t = tab.braid;
        uint32_t lane[kLanes] = {c};
        for (size_t b = 1; b < blocks; ++b, p += kBlock) {
            // Each word as two 32-bit halves: a byte of a half is one shift and one zero extension (or a
            // byte register), fewer instructions than shifting the 64-bit word for every byte; on a
            // 32-bit processor the halves are the word's two registers anyway.
            uint32_t lo[kLanes], hi[kLanes];
#pragma GCC unroll 16
            for (int i = 0; i < kLanes; ++i) {
                const uint64_t word = lane[i] ^ load_le64(p + static_cast<size_t>(i) * kWord);
                lo[i] = static_cast<uint32_t>(word);
                hi[i] = static_cast<uint32_t>(word >> 32);
            }
#pragma GCC unroll 16
            for (int i = 0; i < kLanes; ++i) {
                lane[i] = t[0][lo[i] & 0xFFu] ^ t[1][(lo[i] >> 8) & 0xFFu] ^ t[2][(lo[i] >> 16) & 0xFFu] ^
                          t[3][lo[i] >> 24] ^ t[4][hi[i] & 0xFFu] ^ t[5][(hi[i] >> 8) & 0xFFu] ^
                          t[6][(hi[i] >> 16) & 0xFFu] ^ t[7][hi[i] >> 24];
            }
        }
        // The last block merges the lanes through the byte-wise table, in data order.
        c = 0;
        for (int i = 0; i < kLanes; ++i) c = crc_word(tab, lane[i] ^ load_le64(p + static_cast<size_t>(i) * kWord) ^ c);
        p += kBlock;
        n -= blocks * kBlock;
    }
    for (; n > 0; --n) c = crc_step(tab.byte, c, *p++);
    return c ^ 0xFFFFFFFFu;
}

}  // namespace

void make_table() {
    publish_tables();
}

uint32_t crc32(char *data, int len) {
    const CrcTables *tables = g_crcInUse.load(std::memory_order_acquire);
    // have_table is an exported plain int that applications may reset to force a rebuild.
    if (__atomic_load_n(&have_table, __ATOMIC_ACQUIRE) == 0 || tables == nullptr) tables = publish_tables();
    if (len <= 0) return 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    if (tables == nullptr) return crc_bitwise(POLYNOMIAL, bytes, static_cast<size_t>(len));
    return crc_braided(*tables, bytes, static_cast<size_t>(len));
}

// ---------------------------------------------------------------------------------------------------------
// Base64
//
// Encoding writes straight into the caller's buffer: lines of 64 characters (48 input bytes), each ending
// with a newline, the last line too, as OpenSSL's base64 filter writes them.
//
// Decoding gives, for every text in the alphabet, the result OpenSSL's base64 filter gives in its
// no-newline mode, because that is what callers have always had. The filter reads the text in blocks of
// 1024 characters and decodes each block on its own: the last block is cut to a multiple of four (the 1 to
// 3 characters after it are dropped); trailing CR and LF are stripped from a block, and a block that is
// then no multiple of four, or holds a CR or LF inside, ends the decoding (what earlier blocks gave is the
// result); '=' decodes as a zero digit, and a block ending in '=' or "==" gives one or two bytes fewer.
// Any character other than the 64 digits, '=', CR and LF refuses the whole text.
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineBytes = 48;            // input bytes per 64-character line
constexpr size_t kFilterBlock = 1024;        // characters the filter decodes at a time
constexpr uint32_t kNotDigit = 0x80000000u;  // in kDigitAt: CR, LF or a character outside the alphabet

enum : unsigned char { kPadClass = 0x40, kEolClass = 0x80, kBadClass = 0xFF };

// 0-63 for a digit, kPadClass for '=', kEolClass for CR and LF, kBadClass for anything else.
constexpr std::array<unsigned char, 256> make_class_table() {
    std::array<unsigned char, 256> t{};
    for (auto &v : t) v = kBadClass;
    for (unsigned i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<unsigned char>(i);
    t['='] = kPadClass;
    t['\r'] = kEolClass;
    t['\n'] = kEolClass;
    return t;
}
constexpr auto kClass = make_class_table();

// kDigitAt[k][c]: the digit of c shifted to position k of a 4-character group ('=' gives 0), or kNotDigit.
constexpr std::array<std::array<uint32_t, 256>, 4> make_digit_tables() {
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 256; ++c) {
            const unsigned char v = kClass[static_cast<size_t>(c)];
            const uint32_t digit = v < 64 ? v : 0u;
            t[static_cast<size_t>(k)][static_cast<size_t>(c)] = v >= kEolClass ? kNotDigit : digit << (18 - 6 * k);
        }
    }
    return t;
}
constexpr auto kDigitAt = make_digit_tables();

// The two characters of each 12-bit value.
constexpr std::array<std::array<char, 2>, 4096> make_pair_table() {
    std::array<std::array<char, 2>, 4096> t{};
    for (size_t v = 0; v < 4096; ++v) t[v] = {kBase64Alphabet[v >> 6], kBase64Alphabet[v & 63]};
    return t;
}
constexpr auto kPair = make_pair_table();

inline char *encode_group(const unsigned char *in, char *out) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, kPair[v >> 12].data(), 2);
    std::memcpy(out + 2, kPair[v & 0xFFFu].data(), 2);
    return out + 4;
}

// Characters of the encoding of n bytes, newlines included.
size_t encoded_size(size_t n) {
    const size_t chars = 4 * ((n + 2) / 3);
    return chars + (chars + 63) / 64;
}

// Decodes the groups of one block (m a multiple of 4) into `out`; returns the OR of the digit values,
// whose kNotDigit bit tells that the block holds CR, LF or a foreign character.
inline uint32_t decode_groups(const unsigned char *in, size_t m, unsigned char *out) {
    uint32_t seen = 0;
    for (size_t i = 0; i < m; i += 4, out += 3) {
        const uint32_t v =
            kDigitAt[0][in[i]] | kDigitAt[1][in[i + 1]] | kDigitAt[2][in[i + 2]] | kDigitAt[3][in[i + 3]];
        seen |= v;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
    }
    return seen;
}

bool has_foreign(const unsigned char *in, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (kClass[in[i]] == kBadClass) return true;
    }
    return false;
}

constexpr int kRefused = -1;  // a foreign character: the whole text is refused
constexpr int kStops = -2;    // the block ends the decoding

// Bytes one block of m characters (m a multiple of 4, at least 4) gives, decoded into `out`.
int decode_block(const unsigned char *in, size_t m, unsigned char *out) {
    if (kClass[in[m - 1]] != kEolClass && (decode_groups(in, m, out) & kNotDigit) == 0) {
        int kept = static_cast<int>(m / 4 * 3);
        if (in[m - 1] == '=') kept -= in[m - 2] == '=' ? 2 : 1;
        return kept;
    }
    if (has_foreign(in, m)) return kRefused;
    size_t n = m;
    while (n > 3 && kClass[in[n - 1]] == kEolClass) --n;
    if (n % 4 != 0 || (decode_groups(in, n, out) & kNotDigit) != 0) return kStops;
    int kept = static_cast<int>(n / 4 * 3);
    if (in[m - 1] == '=') kept -= in[m - 2] == '=' ? 2 : 1;
    return kept;
}

}  // namespace

int base64_encode(char *in, int len, char *out) {
    if (in == nullptr || out == nullptr) return -1;
    std::printf("in_len = %d\n", len);
    out[0] = '\0';
    const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
    if (encoded_size(n) > static_cast<size_t>(INT_MAX)) return -1;
    const auto *p = reinterpret_cast<const unsigned char *>(in);
    const unsigned char *const end = p + n;
    char *o = out;
    for (; end - p >= static_cast<ptrdiff_t>(kLineBytes); p += kLineBytes) {
        for (size_t i = 0; i < kLineBytes; i += 3) o = encode_group(p + i, o);
        *o++ = '\n';
    }
    if (p != end) {
        for (; end - p >= 3; p += 3) o = encode_group(p, o);
        if (p != end) {
            const unsigned char last[3] = {p[0], end - p == 2 ? p[1] : static_cast<unsigned char>(0), 0};
            o = encode_group(last, o);
            o[-1] = '=';
            if (end - p == 1) o[-2] = '=';
        }
        *o++ = '\n';
    }
    *o = '\0';
    return static_cast<int>(o - out);
}

int base64_decode(char *in, int len, char *out) {
    if (in == nullptr || out == nullptr) return -1;
    const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
    const auto *text = reinterpret_cast<const unsigned char *>(in);
    auto *bytes = reinterpret_cast<unsigned char *>(out);
    const size_t whole = n & ~size_t{3};  // the characters the filter decodes; it drops the rest
    size_t at = 0;
    size_t made = 0;
    while (at < whole) {
        const size_t m = std::min(kFilterBlock, whole - at);
        const int kept = decode_block(text + at, m, bytes + made);
        if (kept == kRefused) break;
        at += m;
        if (kept == kStops) break;  // nothing more is decoded, but the rest must still be in the alphabet
        made += static_cast<size_t>(kept);
    }
    if (has_foreign(text + at, n - at)) {
        out[0] = '\0';
        return -1;
    }
    out[made] = '\0';
    return static_cast<int>(made);
}

// ---------------------------------------------------------------------------------------------------------
// Hex and integer text
namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

unsigned char hex_nibble(unsigned char c) {
    auto d = static_cast<unsigned char>(std::toupper(c) - 0x30);
    if (d > 9) d = static_cast<unsigned char>(d - 7);
    return d;
}

unsigned char upper_digit(unsigned nibble) {
    unsigned d = nibble + 0x30;
    if (d > 0x39) d += 7;
    return static_cast<unsigned char>(d);
}

}  // namespace

// Indexes are size_t so that 2 * i cannot overflow for any int count.
unsigned char *StrToHex(unsigned char *dst, unsigned char const *src, int n) {
    const size_t count = n > 0 ? static_cast<size_t>(n) : 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned hi = hex_nibble(src[2 * i]);
        const unsigned lo = hex_nibble(src[2 * i + 1]);
        dst[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return dst;
}

unsigned char *HexToStr(unsigned char *dst, unsigned char const *src, int n) {
    const size_t count = n > 0 ? static_cast<size_t>(n) : 0;
    size_t i = 0;
    for (; i < count; ++i) {
        dst[2 * i] = upper_digit(src[i] >> 4);
        dst[2 * i + 1] = upper_digit(src[i] & 0x0Fu);
    }
    dst[2 * i] = '\0';
    return dst;
}

void StrToAsc(unsigned char *dst, unsigned char const *src, int n) {
    static constexpr char kLower[] = "0123456789abcdef";
    if (n <= 0) return;
    const auto count = static_cast<size_t>(n);
    for (size_t i = 0; i < count; ++i) {
        dst[2 * i] = static_cast<unsigned char>(kLower[src[i] >> 4]);
        dst[2 * i + 1] = static_cast<unsigned char>(kLower[src[i] & 0x0Fu]);
    }
    dst[2 * count] = '\0';
}

char *itoa(int value, char *dst, int base) {
    if (base < 2 || base > 36) {
        dst[0] = '\0';
        return dst;
    }
    char *p = dst;
    auto magnitude = static_cast<uint32_t>(value);
    if (base == 10 && value < 0) {
        *p++ = '-';
        magnitude = 0u - magnitude;
    }
    char *first = p;
    const auto ubase = static_cast<uint32_t>(base);
    do {
        *p++ = kDigits[magnitude % ubase];
        magnitude /= ubase;
    } while (magnitude != 0);
    *p = '\0';
    std::reverse(first, p);
    return dst;
}

unsigned char *StrToUpper(unsigned char *text, int len) {
    for (int i = 0; i < len; ++i) text[i] = static_cast<unsigned char>(std::toupper(text[i]));
    return text;
}

char itoch(short value) {
    if (value >= 0 && value <= 9) return static_cast<char>(0x30 + value);
    if (value >= 10 && value <= 15) return static_cast<char>(0x37 + value);
    return '0';
}

unsigned char CharToHex(short value) {
    if (value >= 0 && value <= 15) return static_cast<unsigned char>(itoch(value));
    return 0xFF;
}

unsigned char *CharToHexs(unsigned char byte, unsigned char *dst) {
    dst[0] = static_cast<unsigned char>(itoch(static_cast<short>(byte >> 4)));
    dst[1] = static_cast<unsigned char>(itoch(static_cast<short>(byte & 0x0F)));
    dst[2] = '\0';
    return dst;
}

unsigned char HexsToChar(char *hex) {
    for (char *p = hex; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    }
    unsigned value = 0;
    for (const char *p = hex; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const unsigned d = (c >= 'A' && c <= 'F') ? c - 0x37u : static_cast<unsigned char>(c - 0x30);
        value = ((value << 4) | d) & 0xFFu;
    }
    return static_cast<unsigned char>(value);
}

// ---------------------------------------------------------------------------------------------------------
// Random digits, file size
namespace {

// Fills `buf` from getrandom, or from /dev/urandom on kernels without it. False if neither works.
bool random_bytes(unsigned char *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n = getrandom(buf + got, len - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == ENOSYS) {
            break;
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    if (got == len) return true;
    const tbox::UniqueFd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    const ssize_t n = tbox::io::read_full(fd.get(), buf + got, len - got);
    return n >= 0 && static_cast<size_t>(n) == len - got;
}

}  // namespace

int GetRollNumber(unsigned char *dst, char count) {
    if (dst == nullptr) return 255;
    const size_t wanted = static_cast<unsigned char>(count);
    unsigned char digits[UCHAR_MAX];
    size_t have = 0;
    while (have < wanted) {
        unsigned char raw[64];
        if (!random_bytes(raw, sizeof raw)) return 255;
        for (unsigned char b : raw) {
            // 250 is a multiple of 10: dropping 250-255 keeps every digit equally likely.
            if (b < 250 && have < wanted) digits[have++] = static_cast<unsigned char>('0' + b % 10);
        }
    }
    std::memcpy(dst, digits, wanted);
    return 0;
}

int64_t GetFileSize(char const *path) {
    struct stat64 st;
    if (path != nullptr && stat64(path, &st) == 0) return static_cast<int64_t>(st.st_size);
    const int error = path != nullptr ? errno : EFAULT;
    char text[128];
    TBOX_LOG(warn, "Get file[%s] size error[%s]\n", path != nullptr ? path : "(null)",
             strerror_r(error, text, sizeof text));
    return -1;
}

// ---------------------------------------------------------------------------------------------------------
// Sample maximum and minimum

namespace {

// The largest sample (its first occurrence) and the smallest (its last), positions counted from 1.
template <typename T>
struct Extremes {
    explicit Extremes(T first) : hi(first), lo(first) {}
    void add(T sample, unsigned index) {
        if (sample > hi) {
            hi = sample;
            hiPos = static_cast<unsigned char>(index + 1);
        }
        if (sample <= lo) {
            lo = sample;
            loPos = static_cast<unsigned char>(index + 1);
        }
    }
    T hi, lo;
    unsigned char hiPos = 1, loPos = 1;
};

}  // namespace

void u8MaxAndMin(unsigned char *samples, unsigned short count, unsigned char *max, unsigned char *min,
                 unsigned char *maxPos, unsigned char *minPos) {
    if (count == 0) return;
    Extremes<unsigned char> e(samples[0]);
    for (unsigned i = 1; i < count; ++i) e.add(samples[i], i);
    *max = e.hi;
    *min = e.lo;
    *maxPos = e.hiPos;
    *minPos = e.loPos;
}

void u16MaxAndMin(unsigned char *samples, unsigned short bytes, unsigned short *max, unsigned short *min,
                  unsigned char *maxPos, unsigned char *minPos, unsigned short *hundredth) {
    const unsigned count = bytes / 2u;  // an odd last byte is not half a sample to read past
    if (count == 0) return;
    auto sample = [samples](size_t i) {
        return static_cast<int16_t>(static_cast<uint16_t>((samples[2 * i] << 8) | samples[2 * i + 1]));
    };
    Extremes<int16_t> e(sample(0));
    int32_t sum = sample(0);
    for (unsigned i = 1; i < count; ++i) {
        e.add(sample(i), i);
        sum += sample(i);
    }
    *max = static_cast<uint16_t>(e.hi);
    *min = static_cast<uint16_t>(e.lo);
    *maxPos = e.hiPos;
    *minPos = e.loPos;
    *hundredth = static_cast<unsigned short>(static_cast<uint32_t>(sum) / 100u);
}
