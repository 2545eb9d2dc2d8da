#include "common/log.h"

#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace tbox::log {
namespace {

// Without a sink (always, outside tests) a line never takes this lock.
std::mutex g_sinkMutex;
std::atomic<Sink> g_sink{nullptr};  // written under g_sinkMutex
void *g_sinkUser = nullptr;         // guarded by g_sinkMutex

// --- Our own connection to the local syslog socket ----------------------------------------------------
// glibc's syslog, with no receiver, creates a socket, fails to connect and closes it again for every
// line; with one, it formats through a memory stream. We write the same bytes ourselves: one send per
// line on a socket connected lazily, and after a failed connect no new attempt for kRetryNs, so lines
// nobody can receive cost one look at a clock. The library never calls openlog; when the application
// holds a syslog connection of its own (it called openlog with LOG_NDELAY, or logged), its ident,
// facility and options live in glibc, out of our sight: then our lines go through vsyslog, which
// applies them.
constexpr char kSocketPath[] = "/dev/log";  // _PATH_LOG
constexpr long long kRetryNs = 1000000000LL;
// How often, while connected, we look whether the application holds a syslog connection of its own.
constexpr long long kForeignCheckNs = 1000000000LL;

// Lines are sent under the shared side of g_lock, so threads do not wait for each other's sends; the
// connection is made, replaced and dropped under its exclusive side.
pthread_rwlock_t g_lock = PTHREAD_RWLOCK_INITIALIZER;
std::atomic<int> g_fd{-1};                   // our connected socket, or -1; replaced under the exclusive lock
int g_type = SOCK_DGRAM;                     // SOCK_STREAM when the receiver listens on a stream socket
std::atomic<long long> g_retryAt{0};         // monotonic ns before which no connect is tried again
std::atomic<long long> g_foreignCheckAt{0};  // monotonic ns of the next look for the application's connection
std::atomic<bool> g_foreign{false};          // the application holds a connection: lines go through vsyslog

class SharedLock {
public:
    SharedLock() { pthread_rwlock_rdlock(&g_lock); }
    ~SharedLock() { pthread_rwlock_unlock(&g_lock); }
    SharedLock(const SharedLock &) = delete;
    SharedLock &operator=(const SharedLock &) = delete;
};
class ExclusiveLock {
public:
    ExclusiveLock() { pthread_rwlock_wrlock(&g_lock); }
    ~ExclusiveLock() { pthread_rwlock_unlock(&g_lock); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
};

// "Mmm dd hh:mm:ss " (local time, C locale) as glibc writes it, made once per second and thread.
struct Stamp {
    time_t second = -1;
    char text[24] = {};
    int length = 0;
};
thread_local Stamp g_stamp;

long long monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Caller holds g_lock exclusively.
void disconnect_locked() {
    const int fd = g_fd.exchange(-1, std::memory_order_relaxed);
    if (fd >= 0) close(fd);
}

// A child of fork() makes a connection of its own, and gets a fresh lock: the forking thread held ours
// across the fork (so no other thread of the parent left it held), but a write lock is owned by a thread
// id the child's thread does not have.
void before_fork() {
    pthread_rwlock_wrlock(&g_lock);
}
void after_fork_in_parent() {
    pthread_rwlock_unlock(&g_lock);
}
void after_fork_in_child() {
    disconnect_locked();
    g_retryAt.store(0, std::memory_order_relaxed);
    g_foreignCheckAt.store(0, std::memory_order_relaxed);
    g_foreign.store(false, std::memory_order_relaxed);
    const pthread_rwlock_t fresh = PTHREAD_RWLOCK_INITIALIZER;
    g_lock = fresh;
}

int open_socket(int type) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, kSocketPath, sizeof kSocketPath);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

// Connects (caller holds g_lock exclusively). On failure no new attempt is made before the back-off.
bool connect_locked(long long now) {
    int type = SOCK_DGRAM;
    int fd = open_socket(type);
    if (fd < 0 && errno == EPROTOTYPE) {  // a receiver on a stream socket, as glibc also accepts
        type = SOCK_STREAM;
        fd = open_socket(type);
    }
    if (fd < 0) {
        g_retryAt.store(now + kRetryNs, std::memory_order_relaxed);
        return false;
    }
    g_type = type;
    g_fd.store(fd, std::memory_order_relaxed);
    g_foreignCheckAt.store(0, std::memory_order_relaxed);
    return true;
}

// Whether another descriptor of this process is connected to the receiver our `own` is connected to:
// glibc's own syslog connection, opened by the application's openlog(LOG_NDELAY) or syslog().
bool application_holds_connection(int own) {
    sockaddr_un ours{};
    socklen_t oursLength = sizeof ours;
    if (getpeername(own, reinterpret_cast<sockaddr *>(&ours), &oursLength) != 0) return false;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own || fd == dirfd(dir)) continue;
        sockaddr_un peer{};
        socklen_t peerLength = sizeof peer;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0 &&
            peerLength == oursLength && std::memcmp(&peer, &ours, oursLength) == 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The stamp of the current second, as glibc's strftime "%h %e %T " in the C locale.
const Stamp &stamp() {
    static constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    Stamp &s = g_stamp;
    const time_t now = time(nullptr);
    if (now == s.second) return s;
    tm local{};
    s.length = 0;
    if (localtime_r(&now, &local) != nullptr) {
        const int n = std::snprintf(s.text, sizeof s.text, "%s %2d %02d:%02d:%02d ", kMonths[local.tm_mon % 12],
                                    local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        s.length = n > 0 && static_cast<size_t>(n) < sizeof s.text ? n : 0;
    }
    s.second = now;
    return s;
}

bool receiver_gone(int error) {
    return error == ECONNREFUSED || error == ENOTCONN || error == EPIPE || error == ECONNRESET;
}

// One send of a line on `fd`; true, or false with errno.
bool send_on(int fd, int type, const char *line, size_t length) {
    if (type == SOCK_STREAM) ++length;  // the terminating NUL delimits records on a stream
    ssize_t sent = 0;
    do {
        sent = send(fd, line, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0;
}

// Sends one line (NUL-terminated at `length`). A receiver that went away (restarted) is reconnected once
// at once, as glibc does; if that fails too, the back-off starts.
void send_line(const char *line, size_t length, long long now) {
    int fd = -1;
    {
        const SharedLock shared;
        fd = g_fd.load(std::memory_order_relaxed);
        if (fd < 0 || send_on(fd, g_type, line, length) || !receiver_gone(errno)) return;
    }
    const ExclusiveLock exclusive;
    if (g_fd.load(std::memory_order_relaxed) == fd) {  // no other thread has reconnected meanwhile
        disconnect_locked();
        if (!connect_locked(now)) return;
    }
    const int current = g_fd.load(std::memory_order_relaxed);
    if (current >= 0 && !send_on(current, g_type, line, length) && receiver_gone(errno)) {
        disconnect_locked();
        g_retryAt.store(now + kRetryNs, std::memory_order_relaxed);
    }
}

// Writes a line of the process's syslog format: "<PRI>Mmm dd hh:mm:ss ident: message"; the ident is
// glibc's default, the program's short name.
void format_and_send(int priority, const char *fmt, va_list args, long long now) {
    const Stamp &s = stamp();
    if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
    char stack[1024];
    const int header =
        std::snprintf(stack, sizeof stack, "<%d>%.*s%s: ", priority, s.length, s.text, program_invocation_short_name);
    if (header < 0 || static_cast<size_t>(header) >= sizeof stack) return;
    va_list copy;
    va_copy(copy, args);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): `copy` is a va_copy of the started list
    const int body = std::vsnprintf(stack + header, sizeof stack - static_cast<size_t>(header), fmt, copy);
    va_end(copy);
    if (body < 0) return;
    const size_t length = static_cast<size_t>(header) + static_cast<size_t>(body);
    if (length < sizeof stack) {
        send_line(stack, length, now);
        return;
    }
    std::string line(length + 1, '\0');
    std::memcpy(line.data(), stack, static_cast<size_t>(header));
    va_list again;
    va_copy(again, args);
    std::vsnprintf(line.data() + header, line.size() - static_cast<size_t>(header), fmt, again);
    va_end(again);
    send_line(line.data(), length, now);
}

void to_syslog(int priority, const char *fmt, va_list args) {
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers, [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    const long long now = monotonic_ns();
    // Nobody listened at the last attempt: until the back-off has passed the line has nowhere to go.
    if (now < g_retryAt.load(std::memory_order_relaxed)) return;
    if (g_fd.load(std::memory_order_relaxed) < 0 || now >= g_foreignCheckAt.load(std::memory_order_relaxed)) {
        const ExclusiveLock exclusive;
        if (g_fd.load(std::memory_order_relaxed) < 0 && (now < g_retryAt.load() || !connect_locked(now))) return;
        if (now >= g_foreignCheckAt.load(std::memory_order_relaxed)) {
            g_foreign.store(application_holds_connection(g_fd.load(std::memory_order_relaxed)));
            g_foreignCheckAt.store(now + kForeignCheckNs, std::memory_order_relaxed);
        }
    }
    if (g_foreign.load(std::memory_order_relaxed)) {
        vsyslog(priority, fmt, args);
        return;
    }
    format_and_send(priority, fmt, args, now);
}

}  // namespace

void set_sink(Sink sink, void *user) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink.store(sink, std::memory_order_release);
    g_sinkUser = user;
}

bool enabled(int priority) {
    return g_sink.load(std::memory_order_acquire) != nullptr || (setlogmask(0) & LOG_MASK(priority)) != 0;
}

void write(int priority, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (g_sink.load(std::memory_order_acquire) != nullptr) {
        std::unique_lock<std::mutex> lock(g_sinkMutex);
        const Sink sink = g_sink.load(std::memory_order_relaxed);
        if (sink != nullptr) {
            char stack[512];
            va_list copy;
            va_copy(copy, args);
            // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): `copy` is a va_copy of the started list
            int n = std::vsnprintf(stack, sizeof stack, fmt, copy);
            va_end(copy);
            std::string line;
            if (n >= 0 && static_cast<size_t>(n) < sizeof stack) {
                line.assign(stack, static_cast<size_t>(n));
            } else if (n >= 0) {
                line.resize(static_cast<size_t>(n) + 1);
                va_list again;
                va_copy(again, args);
                std::vsnprintf(line.data(), line.size(), fmt, again);
                va_end(again);
                line.resize(static_cast<size_t>(n));
            }
            sink(priority, line.c_str(), g_sinkUser);
            va_end(args);
            return;
        }
    }
    // A level the mask filters costs this one look and formats nothing.
    if ((setlogmask(0) & LOG_MASK(LOG_PRI(priority))) != 0) to_syslog(priority, fmt, args);
    va_end(args);
}

}  // namespace tbox::log
