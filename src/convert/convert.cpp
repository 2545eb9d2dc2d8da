// Conversion utilities: base64 (OpenSSL BIO filter chains), CRC-32, hex and integer text, random
// digits, file size, sample maximum/minimum.
#include "tbox/convert.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/log.h"

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
            uint64_t word[kLanes];
#pragma GCC unroll 16
            for (int i = 0; i < kLanes; ++i) word[i] = lane[i] ^ load_le64(p + static_cast<size_t>(i) * kWord);
#pragma GCC unroll 16
            for (int i = 0; i < kLanes; ++i) lane[i] = t[0][word[i] & 0xFFu];
#pragma GCC unroll 8
            for (int k = 1; k < kWord; ++k) {
#pragma GCC unroll 16
                for (int i = 0; i < kLanes; ++i) lane[i] ^= t[k][(word[i] >> (8 * k)) & 0xFFu];
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
namespace {

struct BioFreeAll {
    void operator()(BIO *bio) const { BIO_free_all(bio); }
};
using BioChain = std::unique_ptr<BIO, BioFreeAll>;

// base64 filter in front of `sink`; owns both (also when one of them could not be created).
BioChain base64_over(BIO *sink, int flags) {
    BIO *filter = BIO_new(BIO_f_base64());
    if (filter == nullptr || sink == nullptr) {
        BIO_free(filter);
        BIO_free(sink);
        return nullptr;
    }
    BIO_set_flags(filter, flags);
    return BioChain(BIO_push(filter, sink));
}

}  // namespace

int base64_encode(char *in, int len, char *out) {
    if (in == nullptr || out == nullptr) return -1;
    std::printf("in_len = %d\n", len);
    out[0] = '\0';
    BIO *mem = BIO_new(BIO_s_mem());
    BioChain chain = base64_over(mem, 0);
    if (!chain) return -1;
    for (int done = 0; done < len;) {
        const int n = BIO_write(chain.get(), in + done, len - done);
        if (n <= 0) return -1;
        done += n;
    }
    if (BIO_flush(chain.get()) != 1) return -1;
    BUF_MEM *text = nullptr;
    BIO_get_mem_ptr(mem, &text);
    if (text == nullptr || text->length > static_cast<size_t>(INT_MAX)) return -1;
    if (text->length > 0) std::memcpy(out, text->data, text->length);  // data is NULL when empty
    out[text->length] = '\0';
    return static_cast<int>(text->length);
}

int base64_decode(char *in, int len, char *out) {
    if (in == nullptr || out == nullptr) return -1;
    out[0] = '\0';
    if (len <= 0) return 0;
    // OpenSSL's decoder stops at a foreign character without reporting it; refuse such text whole
    // rather than hand back a silently shortened result.
    for (int i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(in[i]);
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                              c == '/' || c == '=';
        if (!alphabet && c != '\r' && c != '\n') return -1;
    }
    // Four characters never decode to more than three bytes; bounding the read keeps the caller's
    // 3 * ceil(len / 4) + 1 bytes safe whatever the decoder does.
    const int room = std::min(len, (len / 4) * 3 + (len % 4 != 0 ? 3 : 0));
    BioChain chain = base64_over(BIO_new_mem_buf(in, len), BIO_FLAGS_BASE64_NO_NL);
    if (!chain) return -1;
    const int n = BIO_read(chain.get(), out, room);
    if (n < 0) {
        out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    return n;
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
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (got < len) {
        const ssize_t n = read(fd, buf + got, len - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    return got == len;
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
