// Applies bsdiff 4.0 ("BSDIFF40") patches. Layout of the format: docs/formats/bsdiff40.md.
//
// Failures are reported the way err(3)/errx(3) would report them, but with warn(3)/warnx(3): a library
// must not end its host process over a bad download, so every failure writes its one diagnostic line
// and returns -1.
#include "tbox/patch.h"

#include <bzlib.h>
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/durable_file.h"
#include "common/io.h"
#include "common/raii.h"

namespace {

constexpr int64_t kHeaderSize = 32;
constexpr char kMagic[] = "BSDIFF40";
// Sizes, offsets and control values are limited to 31 bits of magnitude, as bsdiff on 32-bit boxes is.
constexpr int64_t kMaxMagnitude = INT32_MAX;
constexpr size_t kOutputChunk = size_t{1} << 20;
constexpr size_t kPatchReadBuffer = size_t{1} << 16;

using Bytes = tbox::Malloced<uint8_t>;

void report_corrupt() {
    warnx("Corrupt patch\n");
}

// Patch integers: 8 bytes, magnitude little-endian in the low 63 bits, sign in bit 7 of byte 7.
int64_t offtin(const uint8_t *buf) {
    uint64_t magnitude = buf[7] & 0x7Fu;
    for (int i = 6; i >= 0; --i) magnitude = (magnitude << 8) | buf[i];
    const auto value = static_cast<int64_t>(magnitude);
    return (buf[7] & 0x80u) != 0 ? -value : value;
}

bool fits_31_bits(int64_t value) {
    return value >= -kMaxMagnitude && value <= kMaxMagnitude;
}

// dst[i] += src[i] (mod 256). Written on vector types because -O2 does not vectorise the plain loop.
void add_bytes(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n) {
    using Vec = uint8_t __attribute__((vector_size(16)));
    size_t i = 0;
    for (; i + 4 * sizeof(Vec) <= n; i += 4 * sizeof(Vec)) {
        Vec a[4];
        Vec b[4];
        std::memcpy(a, dst + i, sizeof a);
        std::memcpy(b, src + i, sizeof b);
        for (int k = 0; k < 4; ++k) a[k] += b[k];
        std::memcpy(dst + i, a, sizeof a);
    }
    for (; i < n; ++i) dst[i] = static_cast<uint8_t>(dst[i] + src[i]);
}

struct OldFile {
    Bytes data;
    int64_t size = 0;
};

// Adds the old bytes at old positions pos .. pos+n-1 to dst, skipping positions outside the old file.
void add_old(uint8_t *dst, size_t n, const OldFile &old, int64_t pos) {
    const auto len = static_cast<int64_t>(n);
    const int64_t begin = std::clamp<int64_t>(-pos, 0, len);
    const int64_t end = std::clamp<int64_t>(old.size - pos, begin, len);
    if (end > begin) add_bytes(dst + begin, old.data.get() + (pos + begin), static_cast<size_t>(end - begin));
}

bool load_old(const char *path, OldFile *old) {
    tbox::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        warn("%s", path);
        return false;
    }
    old->size = st.st_size;
    // Exactly the file's size (one byte for an empty file), so a read past its end is caught.
    old->data.reset(static_cast<uint8_t *>(std::malloc(static_cast<size_t>(std::max<int64_t>(old->size, 1)))));
    if (old->data == nullptr) {
        warn("%s", path);
        return false;
    }
    const ssize_t got = tbox::io::read_full(fd.get(), old->data.get(), static_cast<size_t>(old->size));
    if (got != old->size) {
        if (got >= 0) errno = EIO;  // the file shrank under us
        warn("%s", path);
        return false;
    }
    if (close(fd.release()) != 0) {
        warn("%s", path);
        return false;
    }
    return true;
}

// One block of the patch: a bzip2 read stream over a stdio handle of its own.
class BlockStream {
public:
    BlockStream() = default;
    BlockStream(const BlockStream &) = delete;
    BlockStream &operator=(const BlockStream &) = delete;
    ~BlockStream() {
        if (bz_ != nullptr) {
            int bzerr = BZ_OK;
            BZ2_bzReadClose(&bzerr, bz_);
        }
        if (file_ != nullptr) std::fclose(file_);
    }

    bool open(const char *path, int64_t offset) {
        FILE *file = std::fopen(path, "rbe");
        if (file == nullptr) {
            warn("fopen(%s)", path);
            return false;
        }
        file_ = file;
        iobuf_.reset(static_cast<uint8_t *>(std::malloc(kPatchReadBuffer)));
        if (iobuf_ != nullptr) std::setvbuf(file_, reinterpret_cast<char *>(iobuf_.get()), _IOFBF, kPatchReadBuffer);
        if (fseeko(file_, offset, SEEK_SET) != 0) {
            warn("fseeko(%s, %lld)", path, static_cast<long long>(offset));
            return false;
        }
        int bzerr = BZ_OK;
        bz_ = BZ2_bzReadOpen(&bzerr, file_, 0, 0, nullptr, 0);
        if (bz_ == nullptr || bzerr != BZ_OK) {
            warnx("BZ2_bzReadOpen, bz2err = %d", bzerr);
            return false;
        }
        return true;
    }

    // Reads exactly n (at most INT_MAX) bytes; anything less, or a bzip2 error, is a corrupt patch.
    bool read(uint8_t *dst, size_t n) {
        int bzerr = BZ_OK;
        const int got = BZ2_bzRead(&bzerr, bz_, dst, static_cast<int>(n));
        if (got < 0 || static_cast<size_t>(got) != n || (bzerr != BZ_OK && bzerr != BZ_STREAM_END)) {
            report_corrupt();
            return false;
        }
        return true;
    }

    bool close(const char *path) {
        int bzerr = BZ_OK;
        BZ2_bzReadClose(&bzerr, bz_);
        bz_ = nullptr;
        FILE *file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) {
            warn("fclose(%s)", path);
            return false;
        }
        return true;
    }

private:
    FILE *file_ = nullptr;
    BZFILE *bz_ = nullptr;
    Bytes iobuf_;  // must outlive file_
};

// The new file, written in chunks to a new file beside its final path (tbox::files::NewFile) and renamed
// into place only when complete. Until then (and on every failure) the final path is left as it was.
class TempOutput {
public:
    bool create(const char *target) {
        target_ = target;
        buf_.reset(static_cast<uint8_t *>(std::malloc(kOutputChunk)));
        if (buf_ == nullptr) {
            warn(nullptr);
            return false;
        }
        file_.emplace(target_, tbox::files::TempNames::kPatch);
        return file_->open() || fail();
    }

    uint8_t *tail() { return buf_.get() + fill_; }
    size_t space() const { return kOutputChunk - fill_; }
    bool advance(size_t n) {
        fill_ += n;
        return fill_ < kOutputChunk || flush();
    }

    // Writes out the rest, makes it durable (an upgrade package must survive a power cut after the
    // rename) and moves it into place, with the mode a plain creation would give it: 0666 less the umask.
    bool commit() { return flush() && (file_->commit(0666 & ~tbox::files::creation_mask()) || fail()); }

private:
    bool flush() {
        if (fill_ > 0) {
            const ssize_t put = tbox::io::write_full(file_->fd(), buf_.get(), fill_);
            if (put != static_cast<ssize_t>(fill_)) {
                if (put >= 0) errno = EIO;  // the device took no more
                return fail();
            }
        }
        fill_ = 0;
        return true;
    }

    bool fail() {
        warn("%s", target_.c_str());
        return false;
    }

    std::string target_;
    std::optional<tbox::files::NewFile> file_;
    Bytes buf_;
    size_t fill_ = 0;
};

struct Header {
    int64_t ctrl_len = 0;
    int64_t diff_len = 0;
    int64_t new_size = 0;
};

bool read_header(const char *path, Header *h) {
    tbox::UniqueFile file(std::fopen(path, "rbe"));
    if (file == nullptr) {
        warn("fopen(%s)", path);
        return false;
    }
    FILE *f = file.get();
    uint8_t raw[kHeaderSize];
    if (std::fread(raw, 1, sizeof raw, f) != sizeof raw) {
        if (std::feof(f) != 0) {
            report_corrupt();
        } else {
            warn("fread(%s)", path);
        }
        return false;
    }
    struct stat st {};
    if (fstat(fileno(f), &st) != 0) {
        warn("fread(%s)", path);
        return false;
    }
    h->ctrl_len = offtin(raw + 8);
    h->diff_len = offtin(raw + 16);
    h->new_size = offtin(raw + 24);
    const bool lengths_ok = h->ctrl_len >= 0 && h->diff_len >= 0 && h->new_size >= 0 && fits_31_bits(h->ctrl_len) &&
                            fits_31_bits(h->diff_len) && fits_31_bits(h->new_size);
    if (std::memcmp(raw, kMagic, 8) != 0 || !lengths_ok ||
        kHeaderSize + h->ctrl_len + h->diff_len > static_cast<int64_t>(st.st_size)) {
        report_corrupt();
        return false;
    }
    if (std::fclose(file.release()) != 0) {
        warn("fclose(%s)", path);
        return false;
    }
    return true;
}

// Moves n bytes of a block into the output; with `old`, adds the old bytes from old position `oldpos`.
bool transfer(BlockStream &in, TempOutput &out, int64_t n, const OldFile *old, int64_t oldpos) {
    while (n > 0) {
        const size_t chunk = static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(out.space())));
        if (!in.read(out.tail(), chunk)) return false;
        if (old != nullptr) add_old(out.tail(), chunk, *old, oldpos);
        oldpos += static_cast<int64_t>(chunk);
        n -= static_cast<int64_t>(chunk);
        if (!out.advance(chunk)) return false;
    }
    return true;
}

// Runs the control triples (x, y, z) until new_size bytes have been produced.
bool apply(const Header &h, const OldFile &old, BlockStream &ctrl, BlockStream &diff, BlockStream &extra,
           TempOutput &out) {
    int64_t newpos = 0;
    int64_t oldpos = 0;
    int64_t triples = 0;
    bool last_was_empty = false;
    while (newpos < h.new_size) {
        // A triple that produces nothing (x = y = 0) only moves the old position, and bsdiff never writes
        // two in a row. Refusing runs of them, and more triples than there are bytes to produce, keeps a
        // tiny, highly compressed control block from keeping us busy for minutes.
        if (++triples > h.new_size + 1) {
            report_corrupt();
            return false;
        }
        uint8_t raw[24];
        if (!ctrl.read(raw, sizeof raw)) return false;
        const int64_t x = offtin(raw);
        const int64_t y = offtin(raw + 8);
        const int64_t z = offtin(raw + 16);
        const bool empty = x == 0 && y == 0;
        if (x < 0 || y < 0 || !fits_31_bits(x) || !fits_31_bits(y) || !fits_31_bits(z) || newpos + x > h.new_size ||
            (empty && last_was_empty)) {
            report_corrupt();
            return false;
        }
        last_was_empty = empty;
        if (!transfer(diff, out, x, &old, oldpos)) return false;
        newpos += x;
        oldpos += x;
        if (newpos + y > h.new_size) {
            report_corrupt();
            return false;
        }
        if (!transfer(extra, out, y, nullptr, 0)) return false;
        newpos += y;
        oldpos += z;
    }
    return true;
}

int patch_file(const char *oldfile, const char *newfile, const char *patchfile) {
    if (oldfile == nullptr || newfile == nullptr || patchfile == nullptr) {
        errno = EINVAL;
        warn("BSDiffPatchFile");
        return -1;
    }
    Header h;
    if (!read_header(patchfile, &h)) return -1;

    BlockStream ctrl;
    BlockStream diff;
    BlockStream extra;
    if (!ctrl.open(patchfile, kHeaderSize) || !diff.open(patchfile, kHeaderSize + h.ctrl_len) ||
        !extra.open(patchfile, kHeaderSize + h.ctrl_len + h.diff_len)) {
        return -1;
    }
    OldFile old;
    if (!load_old(oldfile, &old)) return -1;
    TempOutput out;
    if (!out.create(newfile) || !apply(h, old, ctrl, diff, extra, out)) return -1;
    if (!ctrl.close(patchfile) || !diff.close(patchfile) || !extra.close(patchfile)) return -1;
    return out.commit() ? 0 : -1;
}

}  // namespace

extern "C" int BSDiffPatchFile(const char *oldfile, const char *newfile, const char *patchfile) {
    return patch_file(oldfile, newfile, patchfile);
}
