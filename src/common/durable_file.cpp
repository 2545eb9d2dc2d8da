#include "common/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

namespace tbox::files {
namespace {

constexpr char kPatchPrefix[] = ".bspatch-";
constexpr size_t kSuffixLength = 6;
constexpr int kNameAttempts = 100;

bool is_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f');
}

// Consumes one or more characters of `accepted` at `at`; false when there is none.
template <typename Accept>
bool run_of(const std::string &text, size_t &at, Accept accepted) {
    const size_t start = at;
    while (at < text.size() && accepted(text[at])) ++at;
    return at > start;
}

// A fresh value per call: names need not be secret, only unlikely to meet one another.
uint64_t next_mix() {
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x =
        counter++ * 0x9E3779B97F4A7C15u ^ static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

}  // namespace

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_directory(const std::string &dir) {
    const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

bool sync_file(const char *path) {
    const UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

mode_t creation_mask() {
    const UniqueFile status(std::fopen("/proc/self/status", "re"));
    char line[256];
    while (status && std::fgets(line, sizeof line, status.get()) != nullptr) {
        unsigned mask = 0;
        if (std::sscanf(line, "Umask: %o", &mask) == 1) return static_cast<mode_t>(mask & 0777);
    }
    return 022;  // a kernel without the Umask line: the usual mask
}

bool is_temp_name(const std::string &name, const std::string &target, TempNames names) {
    if (names == TempNames::kSuffix) {
        return name.size() == target.size() + 1 + kSuffixLength && name.compare(0, target.size(), target) == 0 &&
               name[target.size()] == '.' && std::all_of(name.end() - kSuffixLength, name.end(), is_alnum);
    }
    size_t at = sizeof kPatchPrefix - 1;
    return name.compare(0, at, kPatchPrefix) == 0 && run_of(name, at, is_digit) && name[at++] == '-' &&
           run_of(name, at, is_digit) && at < name.size() && name[at++] == '-' && run_of(name, at, is_hex) &&
           at == name.size();
}

NewFile::NewFile(std::string target, TempNames names) : target_(std::move(target)), names_(names) {
    base_ = target_.substr(target_.rfind('/') + 1);
}

NewFile::~NewFile() {
    const int saved = errno;  // callers report the failure's errno after this
    fd_.reset();
    if (!temp_.empty()) ::unlinkat(dir_.get(), temp_.c_str(), 0);
    errno = saved;
}

std::string NewFile::next_name() {
    uint64_t mix = next_mix();
    if (names_ == TempNames::kPatch) {
        static std::atomic<unsigned> counter{0};
        char name[64];
        std::snprintf(name, sizeof name, "%s%d-%u-%lx", kPatchPrefix, static_cast<int>(getpid()), counter++,
                      static_cast<unsigned long>(mix));
        return name;
    }
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = base_ + '.';
    for (size_t i = 0; i < kSuffixLength; ++i, mix /= sizeof kLetters - 1)
        name += kLetters[mix % (sizeof kLetters - 1)];
    return name;
}

// Only regular files of this process's user, of the exact pattern, not the target, and not touched for
// kStaleSeconds: a writer working beside us keeps its file.
void NewFile::remove_stale() const {
    UniqueFd listing(::openat(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return;
    const Owned<DIR, closedir> dir(::fdopendir(listing.get()));
    if (!dir) return;
    (void)listing.release();  // the stream owns it now
    std::vector<std::string> stale;
    const time_t now = std::time(nullptr);
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat st {};
        if (name == base_ || !is_temp_name(name, base_, names_) ||
            ::fstatat(dir_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            std::llabs(static_cast<long long>(now - st.st_mtime)) >= kStaleSeconds) {
            stale.push_back(name);
        }
    }
    for (const std::string &name : stale) ::unlinkat(dir_.get(), name.c_str(), 0);
}

bool NewFile::open() {
    dir_.reset(::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_) return false;
    remove_stale();
    fd_.reset(::openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd_) {
        unnamed_ = true;
        return true;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {  // no O_TMPFILE here: a named file
        std::string name = next_name();
        fd_.reset(::openat(dir_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd_) {
            temp_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Links the unnamed file into the directory under a fresh temporary name, through the descriptor itself
// (needs CAP_DAC_READ_SEARCH) or else through its /proc/self/fd entry.
bool NewFile::give_temp_name() {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_.get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = next_name();
        if (::linkat(fd_.get(), "", dir_.get(), name.c_str(), AT_EMPTY_PATH) == 0 ||
            (errno != EEXIST && ::linkat(AT_FDCWD, proc, dir_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0)) {
            temp_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool NewFile::commit(mode_t mode) {
    if (::fchmod(fd_.get(), mode) != 0 || ::fsync(fd_.get()) != 0) return false;
    if (unnamed_ && !give_temp_name()) return false;
    if (::close(fd_.release()) != 0) return false;
    if (::renameat(dir_.get(), temp_.c_str(), dir_.get(), base_.c_str()) != 0) return false;
    temp_.clear();
    return ::fsync(dir_.get()) == 0;
}

}  // namespace tbox::files
