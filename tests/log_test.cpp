// The library's syslog lines as a syslog daemon receives them: each test process mounts an empty /dev in
// a private mount namespace and binds its own receiver at /dev/log (or leaves nobody listening there).
// The library's connect() calls are counted through -Wl,--wrap=connect.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/log.h"
#include "support/private_mount.h"

namespace {
std::atomic<int> g_connects{0};
std::atomic<long long> g_coarseShiftNs{0};  // moves the library's monotonic clock ahead, instead of waiting
std::atomic<int> g_coarseReads{0};
}  // namespace

extern "C" int __real_connect(int fd, const sockaddr *address, socklen_t length);
extern "C" int __wrap_connect(int fd, const sockaddr *address, socklen_t length) {
    ++g_connects;
    return __real_connect(fd, address, length);
}

extern "C" int __real_clock_gettime(clockid_t clock, timespec *ts);
extern "C" int __wrap_clock_gettime(clockid_t clock, timespec *ts) {
    const int result = __real_clock_gettime(clock, ts);
    if (result == 0 && clock == CLOCK_MONOTONIC_COARSE) {
        ++g_coarseReads;
        const long long ns = ts->tv_sec * 1000000000LL + ts->tv_nsec + g_coarseShiftNs.load();
        ts->tv_sec = static_cast<time_t>(ns / 1000000000LL);
        ts->tv_nsec = static_cast<long>(ns % 1000000000LL);
    }
    return result;
}

namespace {

// A datagram socket bound at /dev/log, as a syslog daemon has.
class Receiver {
public:
    Receiver() {
        unlink("/dev/log");
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/dev/log");
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        const timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Receiver() {
        if (fd_ >= 0) close(fd_);
    }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;
    bool bound() const { return bound_; }

    // The next datagram ("" after 5 s without one).
    std::string next() const {
        char line[8192];
        const ssize_t n = recv(fd_, line, sizeof line, 0);
        return n < 0 ? std::string() : std::string(line, static_cast<size_t>(n));
    }
    // Whether a datagram is waiting.
    bool pending() const {
        char byte;
        return recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) >= 0;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string refused = tbox::test::private_tmpfs("/dev");
        if (!refused.empty()) GTEST_SKIP() << refused;
        setlogmask(LOG_UPTO(LOG_DEBUG));
        g_connects = 0;
    }
};

void glibc_line(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void glibc_line(int priority, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsyslog(priority, fmt, args);
    va_end(args);
    closelog();  // so that the library sees no syslog connection of the application's
}

// The text after "<PRI>Mmm dd hh:mm:ss ".
std::string after_stamp(const std::string &line) {
    const size_t close = line.find('>');
    return close == std::string::npos || line.size() < close + 17 ? line : line.substr(close + 17);
}

TEST_F(LogTest, LinesAreTheBytesGlibcSyslogWrites) {
    Receiver receiver;
    ASSERT_TRUE(receiver.bound());
    const std::string longText(3000, 'x');  // past any buffer on the stack
    struct Case {
        int priority;
        std::string text;
    } const cases[] = {{tbox::log::kDebug, "debug 7"},
                       {tbox::log::kInfo, "info 6"},
                       {tbox::log::kWarn, "warn 4 %"},
                       {tbox::log::kErr, longText}};
    for (const auto &c : cases) {
        // A second may tick between the two lines; the stamps then differ and the pair is taken again.
        std::string ours, theirs;
        for (int attempt = 0; attempt < 3; ++attempt) {
            tbox::log::write(c.priority, " [x] log_test.cpp-%d:%s", 42, c.text.c_str());
            glibc_line(c.priority, " [x] log_test.cpp-%d:%s", 42, c.text.c_str());
            ours = receiver.next();
            theirs = receiver.next();
            if (ours == theirs) break;
        }
        EXPECT_EQ(ours, theirs);
        EXPECT_EQ(ours.substr(0, 4), "<" + std::to_string(8 + c.priority) + ">");
        EXPECT_EQ(after_stamp(ours), "log_test:  [x] log_test.cpp-42:" + c.text);
    }
    // The stamp is "Mmm dd hh:mm:ss ": a month name and the day padded with a space, as syslog daemons parse.
    TBOX_LOG(info, "stamped");
    const std::string line = receiver.next();
    ASSERT_GE(line.size(), 20u);
    EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(line.substr(4, 3)), std::string::npos) << line;
    EXPECT_EQ(line[7], ' ');
    EXPECT_TRUE(line[8] == ' ' || (line[8] >= '1' && line[8] <= '3')) << line;
    EXPECT_EQ(line.substr(13, 1) + line.substr(16, 1) + line.substr(19, 1), ":: ") << line;
    EXPECT_EQ(g_connects.load(), 1);  // one connection carried every line
}

TEST_F(LogTest, FilteredLevelSendsNothingAndConnectsNowhere) {
    Receiver receiver;
    ASSERT_TRUE(receiver.bound());
    setlogmask(LOG_UPTO(LOG_INFO));
    TBOX_LOG(debug, "filtered %d", 1);
    EXPECT_FALSE(receiver.pending());
    EXPECT_EQ(g_connects.load(), 0);
    TBOX_LOG(info, "passes %d", 2);
    EXPECT_EQ(after_stamp(receiver.next()).substr(0, 17), "log_test:  [info]");
    EXPECT_FALSE(receiver.pending());
}

// Nobody listens: lines cost no connect each; a receiver that appears later gets lines again.
TEST_F(LogTest, WithoutReceiverNoConnectPerLineAndAReceiverIsFoundLater) {
    for (int i = 0; i < 500; ++i) TBOX_LOG(debug, "nobody hears line %d", i);
    EXPECT_EQ(g_connects.load(), 1);
    // The next attempt comes a second after the failed one.
    if (g_coarseReads.load() == 0) GTEST_SKIP() << "the clock is read through another symbol here";
    g_coarseShiftNs += 500000000LL;
    TBOX_LOG(debug, "nobody hears this either");
    EXPECT_EQ(g_connects.load(), 1);
    g_coarseShiftNs += 600000000LL;
    TBOX_LOG(debug, "nor this");
    EXPECT_EQ(g_connects.load(), 2);

    Receiver receiver;
    ASSERT_TRUE(receiver.bound());
    std::string line;
    for (int i = 0; i < 100 && line.empty(); ++i) {
        TBOX_LOG(warn, "heard");
        if (receiver.pending()) line = receiver.next();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(line.substr(0, 4), "<12>");
    EXPECT_NE(line.find("log_test:  [warn] log_test.cpp-"), std::string::npos) << line;
    EXPECT_EQ(g_connects.load(), 3);
}

// A syslog daemon restarted (a new socket at /dev/log) gets the very next line.
TEST_F(LogTest, RestartedReceiverGetsTheNextLine) {
    auto first = std::make_unique<Receiver>();
    ASSERT_TRUE(first->bound());
    TBOX_LOG(info, "before");
    EXPECT_NE(first->next().find("before"), std::string::npos);
    first.reset();
    Receiver second;
    ASSERT_TRUE(second.bound());
    TBOX_LOG(info, "after");
    EXPECT_NE(second.next().find("after"), std::string::npos);
    EXPECT_EQ(g_connects.load(), 2);
}

// A receiver on a stream socket (some syslog daemons listen so) gets each line ended by a NUL.
TEST_F(LogTest, StreamReceiverGetsLinesEndedByNul) {
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    TBOX_LOG(info, "first");
    TBOX_LOG(err, "second");
    const int stream = accept(listener, nullptr, nullptr);
    ASSERT_GE(stream, 0);
    std::string received;
    char chunk[256];
    const timeval timeout{5, 0};
    setsockopt(stream, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    while (std::count(received.begin(), received.end(), '\0') < 2) {
        const ssize_t n = recv(stream, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        received.append(chunk, static_cast<size_t>(n));
    }
    close(stream);
    close(listener);
    const size_t end = received.find('\0');
    ASSERT_NE(end, std::string::npos) << received;
    EXPECT_EQ(received.substr(0, 4), "<14>");
    EXPECT_EQ(after_stamp(received.substr(0, end)).rfind("log_test:  [info] log_test.cpp-", 0), 0u) << received;
    EXPECT_EQ(received.substr(end - 6, 7), ":first" + std::string(1, '\0'));
    EXPECT_EQ(received.substr(end + 1, 4), "<11>");
    EXPECT_EQ(received.back(), '\0');
}

// A child of fork() makes its own connection; its lines reach the receiver.
TEST_F(LogTest, ForkedChildConnectsAgain) {
    Receiver receiver;
    ASSERT_TRUE(receiver.bound());
    TBOX_LOG(info, "parent");
    EXPECT_NE(receiver.next().find("parent"), std::string::npos);
    const pid_t child = fork();
    if (child == 0) {
        const int before = g_connects.load();
        TBOX_LOG(info, "child");
        _exit(g_connects.load() - before);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(receiver.next().find("child"), std::string::npos);
    TBOX_LOG(info, "parent again");
    EXPECT_NE(receiver.next().find("parent again"), std::string::npos);
    EXPECT_EQ(g_connects.load(), 1);
}

// An application that opened its own syslog connection keeps its ident, facility and options for our
// lines too (they then go through glibc's syslog).
TEST_F(LogTest, ApplicationOpenlogIdentAndFacilityApply) {
    Receiver receiver;
    ASSERT_TRUE(receiver.bound());
    openlog("box-app", LOG_PID | LOG_NDELAY, LOG_LOCAL0);
    TBOX_LOG(err, "failed %d", 3);
    const std::string line = receiver.next();
    closelog();
    EXPECT_EQ(line.substr(0, 5), "<131>");
    EXPECT_EQ(after_stamp(line).rfind("box-app[" + std::to_string(getpid()) + "]: ", 0), 0u) << line;
    EXPECT_NE(line.find(" [err] log_test.cpp-"), std::string::npos);
}

}  // namespace
