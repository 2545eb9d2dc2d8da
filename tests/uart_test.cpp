// UART helper on real pseudo-terminals: the helper opens the pty's slave by name, the test holds the
// master as the far end of the line and reads the attributes back from the slave with tcgetattr.
//
// A Linux pty keeps every attribute the helper sets except two control-mode fields it overrides on each
// tcsetattr: CSIZE (always CS8) and PARENB (always clear). For those the test reads the attributes the
// helper handed to tcsetattr, which the link wraps (-Wl,--wrap=tcsetattr in tests/uart.cmake).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "tbox/uart.h"

namespace {

// What the code under test last handed to tcsetattr, and an optional injected failure.
struct TcsetattrRecord {
    int calls = 0;
    termios last{};
    int fail_errno = 0;
};
TcsetattrRecord g_tcsetattr;

}  // namespace

extern "C" int __real_tcsetattr(int fd, int action, const termios *t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios *t) {
    ++g_tcsetattr.calls;
    g_tcsetattr.last = *t;
    if (g_tcsetattr.fail_errno != 0) {
        errno = g_tcsetattr.fail_errno;
        return -1;
    }
    return __real_tcsetattr(fd, action, t);
}

namespace {

using tbox::test::LogCapture;

constexpr int kDebug = 7, kWarn = 4, kErr = 3;

class Pty {
public:
    Pty() {
        char name[128] = {};
        EXPECT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0) << std::strerror(errno);
        name_ = name;
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const char *name() const { return name_.c_str(); }
    int master() const { return master_; }
    void close_master() {
        close(master_);
        master_ = -1;
    }

    termios attrs() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }
    // Applies `edit` to the slave's current attributes, then forgets that call in the tcsetattr record.
    template <typename Edit>
    void preset(Edit edit) {
        termios t = attrs();
        edit(t);
        EXPECT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
        g_tcsetattr = TcsetattrRecord{};
    }

    void send_from_far_end(const std::vector<uint8_t> &bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads exactly `n` bytes at the far end, giving up after `timeout_ms` without progress.
    std::vector<uint8_t> read_at_far_end(size_t n, int timeout_ms = 5000) const {
        std::vector<uint8_t> out;
        uint8_t chunk[4096];
        while (out.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) break;
            const ssize_t got = read(master_, chunk, std::min(sizeof chunk, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), chunk, chunk + got);
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

bool logged(const LogCapture &log, int priority, const std::string &message) {
    for (const auto &line : log.lines()) {
        if (line.priority == priority && tbox::test::strip_location(line.text) == message) return true;
    }
    return false;
}

// The descriptor UartOpen reported in "Uart[...] open success,fd[N]", or -1.
int opened_fd(const LogCapture &log) {
    for (const auto &m : log.messages()) {
        int fd = -1;
        const size_t at = m.find("open success,fd[");
        if (at != std::string::npos && std::sscanf(m.c_str() + at, "open success,fd[%d]", &fd) == 1) return fd;
    }
    return -1;
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A descriptor number that is certainly not open right now.
int closed_fd() {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

bool same_attrs(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

std::vector<uint8_t> every_byte_value() {
    std::vector<uint8_t> v(256);
    for (int i = 0; i < 256; ++i) v[i] = static_cast<uint8_t>(i);
    return v;
}

// ---- Speeds ---------------------------------------------------------------------------------------------

struct SpeedCase {
    int speed;
    speed_t code;
};

void PrintTo(const SpeedCase &c, std::ostream *os) { *os << c.speed; }

class UartSpeed : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(UartSpeed, EveryTableSpeedSetsInputAndOutputSpeed) {
    Pty pty;
    pty.preset([](termios &t) {
        cfsetispeed(&t, B1200);
        cfsetospeed(&t, B1200);
    });
    LogCapture log;
    const int fd = UartInit(pty.name(), GetParam().speed, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    const termios t = pty.attrs();
    EXPECT_EQ(cfgetispeed(&t), GetParam().code);
    EXPECT_EQ(cfgetospeed(&t), GetParam().code);
    EXPECT_TRUE(logged(log, kDebug, "UART Set Speed[" + std::to_string(GetParam().speed) + "] Success\n"));
    UartClose(fd);
}

INSTANTIATE_TEST_SUITE_P(Table, UartSpeed,
                         ::testing::Values(SpeedCase{9600, B9600}, SpeedCase{38400, B38400},
                                           SpeedCase{57600, B57600}, SpeedCase{115200, B115200},
                                           SpeedCase{460800, B460800}, SpeedCase{576000, B576000},
                                           SpeedCase{921600, B921600}, SpeedCase{1500000, B1500000},
                                           SpeedCase{2000000, B2000000}, SpeedCase{2500000, B2500000},
                                           SpeedCase{3000000, B3000000}, SpeedCase{3500000, B3500000},
                                           SpeedCase{4000000, B4000000}),
                         [](const auto &tp) { return std::to_string(tp.param.speed); });

// ---- Refused settings: -1, the setter's line, device untouched, descriptor closed ----------------------

struct RefusedCase {
    const char *label;
    int speed;
    uint8_t flowCtrl, dataBit, stopBit, parity;
    int priority;
    const char *message;
};

void PrintTo(const RefusedCase &c, std::ostream *os) { *os << c.label; }

class UartRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(UartRefused, ReturnsMinusOneLeavesDeviceAsItWasAndClosesTheDescriptor) {
    const RefusedCase &c = GetParam();
    Pty pty;
    pty.preset([](termios &t) {
        cfsetispeed(&t, B57600);
        cfsetospeed(&t, B57600);
        t.c_cflag |= CSTOPB | PARODD | CRTSCTS;
        t.c_iflag |= IXON | ICRNL;
        t.c_lflag |= ICANON | ECHO;
        t.c_cc[VMIN] = 3;
        t.c_cc[VTIME] = 4;
    });
    const termios before = pty.attrs();
    LogCapture log;

    EXPECT_EQ(UartInit(pty.name(), c.speed, c.flowCtrl, c.dataBit, c.stopBit, c.parity), -1);

    EXPECT_TRUE(logged(log, c.priority, c.message)) << c.message;
    EXPECT_TRUE(logged(log, kErr, std::string("Uart[") + pty.name() + "] Init Error\n"));
    EXPECT_FALSE(log.contains("Init Success"));
    EXPECT_EQ(g_tcsetattr.calls, 0);
    EXPECT_TRUE(same_attrs(before, pty.attrs()));
    const int fd = opened_fd(log);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(is_open(fd));
    EXPECT_TRUE(logged(log, kDebug, "Uart fd[" + std::to_string(fd) + "] closed\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UartRefused,
    ::testing::Values(
        RefusedCase{"speed19200", 19200, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[19200] Not Support\n"},
        RefusedCase{"speed230400", 230400, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[230400] Not Support\n"},
        RefusedCase{"speed4800", 4800, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[4800] Not Support\n"},
        RefusedCase{"speed0", 0, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[0] Not Support\n"},
        RefusedCase{"speedMinus9600", -9600, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[-9600] Not Support\n"},
        RefusedCase{"speed115201", 115201, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[115201] Not Support\n"},
        RefusedCase{"speed4000001", 4000001, 0, 8, 1, 0, kWarn, "UART Set Speed Error:Speed[4000001] Not Support\n"},
        RefusedCase{"flowCtrl3", 115200, 3, 8, 1, 0, kErr, "UART Set flowCtrl Error: Wrong param [3]\n"},
        RefusedCase{"flowCtrl255", 115200, 255, 8, 1, 0, kErr, "UART Set flowCtrl Error: Wrong param [255]\n"},
        RefusedCase{"dataBit4", 115200, 0, 4, 1, 0, kErr, "UART Set dataBit Error: Wrong param [4]\n"},
        RefusedCase{"dataBit9", 115200, 0, 9, 1, 0, kErr, "UART Set dataBit Error: Wrong param [9]\n"},
        RefusedCase{"stopBit0", 115200, 0, 8, 0, 0, kErr, "UART Set stopBit Error: Wrong param [0]\n"},
        RefusedCase{"stopBit3", 115200, 0, 8, 3, 0, kErr, "UART Set stopBit Error: Wrong param [3]\n"},
        RefusedCase{"parity3", 115200, 0, 8, 1, 3, kErr, "UART Set parity Error: Wrong param [3]\n"},
        // The last setting is refused after every other one was applied to the prepared attributes.
        RefusedCase{"parityAfterAllOthers", 9600, 1, 5, 2, 9, kErr, "UART Set parity Error: Wrong param [9]\n"}),
    [](const auto &tp) { return std::string(tp.param.label); });

// ---- Accepted line settings -------------------------------------------------------------------------------

struct DataBitsCase {
    uint8_t dataBit;
    tcflag_t size;
};
void PrintTo(const DataBitsCase &c, std::ostream *os) { *os << int{c.dataBit}; }

class UartDataBits : public ::testing::TestWithParam<DataBitsCase> {};

TEST_P(UartDataBits, SetsCharacterSize) {
    Pty pty;
    LogCapture log;
    const int fd = UartInit(pty.name(), 115200, 0, GetParam().dataBit, 1, 0);
    ASSERT_GE(fd, 0);
    // The pty stores CS8 whatever it is given, so the size is read from what reached tcsetattr.
    EXPECT_EQ(g_tcsetattr.last.c_cflag & CSIZE, GetParam().size);
    EXPECT_TRUE(logged(log, kDebug, "UART Set dataBit[" + std::to_string(GetParam().dataBit) + "] Success\n"));
    UartClose(fd);
}

INSTANTIATE_TEST_SUITE_P(FiveToEight, UartDataBits,
                         ::testing::Values(DataBitsCase{5, CS5}, DataBitsCase{6, CS6}, DataBitsCase{7, CS7},
                                           DataBitsCase{8, CS8}),
                         [](const auto &tp) { return std::to_string(tp.param.dataBit); });

TEST(UartLineSettings, StopBitsSetAndClearCstopb) {
    Pty pty;
    pty.preset([](termios &t) { t.c_cflag &= ~CSTOPB; });
    LogCapture log;
    int fd = UartInit(pty.name(), 115200, 0, 8, 2, 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(pty.attrs().c_cflag & CSTOPB);
    EXPECT_TRUE(logged(log, kDebug, "UART Set stopBit[2] Success\n"));
    UartClose(fd);

    fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(pty.attrs().c_cflag & CSTOPB);
    EXPECT_TRUE(logged(log, kDebug, "UART Set stopBit[1] Success\n"));
    UartClose(fd);
}

struct ParityCase {
    uint8_t parity;
    bool presetOdd;  // PARODD before the call
    bool parenb, parodd, inpck;
};

void PrintTo(const ParityCase &c, std::ostream *os) {
    *os << "parity " << int{c.parity} << (c.presetOdd ? " from odd" : " from even");
}

class UartParity : public ::testing::TestWithParam<ParityCase> {};

TEST_P(UartParity, SetsParityAndInputCheck) {
    const ParityCase &c = GetParam();
    Pty pty;
    pty.preset([&](termios &t) {
        t.c_cflag = c.presetOdd ? (t.c_cflag | PARODD) : (t.c_cflag & ~PARODD);
        t.c_iflag = c.inpck ? (t.c_iflag & ~INPCK) : (t.c_iflag | INPCK);  // start from the opposite
    });
    LogCapture log;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, c.parity);
    ASSERT_GE(fd, 0);
    const termios t = pty.attrs();
    EXPECT_EQ((g_tcsetattr.last.c_cflag & PARENB) != 0, c.parenb);  // the pty always stores PARENB clear
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
    EXPECT_TRUE(logged(log, kDebug, "UART Set parity[" + std::to_string(c.parity) + "] Success\n"));
    UartClose(fd);
}

INSTANTIATE_TEST_SUITE_P(NoneOddEven, UartParity,
                         ::testing::Values(ParityCase{0, true, false, true, false},   // PARODD left alone
                                           ParityCase{0, false, false, false, false},
                                           ParityCase{1, false, true, true, true},
                                           ParityCase{2, true, true, false, true}),
                         [](const auto &tp) {
                             return "parity" + std::to_string(tp.param.parity) +
                                    (tp.param.presetOdd ? "_fromOdd" : "_fromEven");
                         });

struct FlowCase {
    uint8_t flowCtrl;
    bool presetRtsCts;
    bool rtsCts;
};

void PrintTo(const FlowCase &c, std::ostream *os) {
    *os << "flowCtrl " << int{c.flowCtrl} << (c.presetRtsCts ? " from RTS/CTS" : " from none");
}

class UartFlowControl : public ::testing::TestWithParam<FlowCase> {};

TEST_P(UartFlowControl, SetsRtsCtsAndEndsWithSoftwareFlowControlOff) {
    const FlowCase &c = GetParam();
    Pty pty;
    pty.preset([&](termios &t) {
        t.c_cflag = c.presetRtsCts ? (t.c_cflag | CRTSCTS) : (t.c_cflag & ~CRTSCTS);
        t.c_cflag &= ~CLOCAL;
        t.c_iflag |= IXON | IXOFF | IXANY;
    });
    LogCapture log;
    const int fd = UartInit(pty.name(), 115200, c.flowCtrl, 8, 1, 0);
    ASSERT_GE(fd, 0);
    const termios t = pty.attrs();
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtsCts);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_TRUE(logged(log, kDebug, "UART Set flowCtrl[" + std::to_string(c.flowCtrl) + "] Success\n"));
    UartClose(fd);
}

INSTANTIATE_TEST_SUITE_P(NoneHardwareSoftware, UartFlowControl,
                         ::testing::Values(FlowCase{0, true, false}, FlowCase{1, false, true},
                                           FlowCase{2, true, true}, FlowCase{2, false, false}),
                         [](const auto &tp) {
                             return "flow" + std::to_string(tp.param.flowCtrl) +
                                    (tp.param.presetRtsCts ? "_fromRtsCts" : "_fromNone");
                         });

// ---- Raw mode and the whole set-up ---------------------------------------------------------------------

TEST(UartInit, LeavesRawModeAndKeepsEverythingElse) {
    Pty pty;
    pty.preset([](termios &t) {
        t.c_oflag |= OPOST | ONLCR | OCRNL;
        t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | ECHOK | IEXTEN;
        t.c_iflag |= IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL | IMAXBEL | ISTRIP;
        t.c_cc[VMIN] = 5;
        t.c_cc[VTIME] = 7;
    });
    const termios before = pty.attrs();
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    const termios t = pty.attrs();
    EXPECT_EQ(t.c_oflag, before.c_oflag & ~(OPOST | ONLCR | OCRNL));
    EXPECT_EQ(t.c_lflag, before.c_lflag & ~(ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(t.c_iflag, before.c_iflag & ~(IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL | INPCK));
    EXPECT_TRUE(t.c_lflag & ECHOK);
    EXPECT_TRUE(t.c_iflag & ISTRIP);
    EXPECT_EQ(std::memcmp(t.c_cc, before.c_cc, sizeof t.c_cc), 0);
    UartClose(fd);
}

TEST(UartInit, LogsEachStepInOrder) {
    Pty pty;
    LogCapture log;
    const int fd = UartInit(pty.name(), 921600, 1, 7, 2, 2);
    ASSERT_GE(fd, 0);
    const std::string dev = pty.name(), n = std::to_string(fd);
    const std::vector<std::string> expected = {
        "Init Uart:[" + dev + "],speed[921600],flowCtrl[1],dataBit[7],stopBit[2],parity[2]\n",
        "Uart[" + dev + "] open success,fd[" + n + "]\n",
        "UART Set Speed[921600] Success\n",
        "UART Set flowCtrl[1] Success\n",
        "UART Set dataBit[7] Success\n",
        "UART Set stopBit[2] Success\n",
        "UART Set parity[2] Success\n",
        "UART Set HexMode Success\n",
        "Uart fd[" + n + "] set Success\n",
        "Uart[" + dev + "] Init Success\n",
    };
    EXPECT_EQ(log.messages(), expected);
    for (const auto &line : log.lines()) {
        EXPECT_EQ(line.priority, kDebug);
        EXPECT_EQ(line.text.rfind(" [debug] uart_api.cpp-", 0), 0u) << line.text;
    }
    UartClose(fd);
}

TEST(UartInit, OpenAndAttributeFailures) {
    LogCapture log;
    EXPECT_EQ(UartInit(nullptr, 115200, 0, 8, 1, 0), -1);
    EXPECT_TRUE(logged(log, kErr, "UartDdev Path is NULL\n"));
    EXPECT_TRUE(log.has("Init Uart:[(null)],speed[115200],flowCtrl[0],dataBit[8],stopBit[1],parity[0]\n"));

    EXPECT_EQ(UartInit("/nonexistent/ttyS9", 115200, 0, 8, 1, 0), -1);
    EXPECT_TRUE(logged(log, kErr, "Uart[/nonexistent/ttyS9] open Error[No such file or directory]\n"));
    EXPECT_FALSE(log.has("Uart[/nonexistent/ttyS9] Init Error\n"));

    // Not a terminal: opened, then refused by tcgetattr and closed again.
    EXPECT_EQ(UartInit("/dev/null", 115200, 0, 8, 1, 0), -1);
    const int fd = opened_fd(log);
    ASSERT_GE(fd, 0);
    const std::string attr_error = "UART Set Error:Get fd[" + std::to_string(fd) + "] attr error[";
    EXPECT_TRUE(logged(log, kWarn, attr_error + "Inappropriate ioctl for device]\n"));
    EXPECT_TRUE(logged(log, kErr, "Uart[/dev/null] Init Error\n"));
    EXPECT_FALSE(is_open(fd));
}

TEST(UartInit, FailedActivationClosesTheDescriptor) {
    Pty pty;
    const termios before = pty.attrs();
    LogCapture log;
    g_tcsetattr.fail_errno = EIO;
    EXPECT_EQ(UartInit(pty.name(), 115200, 0, 8, 1, 0), -1);
    g_tcsetattr.fail_errno = 0;
    const int fd = opened_fd(log);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(logged(log, kWarn,
                       "UART Set fd[" + std::to_string(fd) + "] Error:activate attr error[Input/output error]\n"));
    EXPECT_TRUE(logged(log, kErr, std::string("Uart[") + pty.name() + "] Init Error\n"));
    EXPECT_FALSE(is_open(fd));
    EXPECT_TRUE(same_attrs(before, pty.attrs()));
}

// ---- Bytes on the line ------------------------------------------------------------------------------------

TEST(UartData, EveryByteValuePassesUnchangedBothWays) {
    Pty pty;
    const int fd = UartInit(pty.name(), 115200, 2, 8, 1, 0);
    ASSERT_GE(fd, 0);
    // Includes CR, LF, XON/XOFF, ^C, ^D, ^H and DEL, which a cooked terminal would act on.
    const std::vector<uint8_t> sent = every_byte_value();
    pty.send_from_far_end(sent);

    std::vector<uint8_t> received;
    uint8_t buffer[64];
    while (received.size() < sent.size()) {
        const int n = UartRecvData(fd, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, static_cast<int>(sizeof buffer));
        received.insert(received.end(), buffer, buffer + n);
    }
    EXPECT_EQ(received, sent);

    EXPECT_EQ(UartSendData(fd, received.data(), static_cast<uint32_t>(received.size())), 256);
    EXPECT_EQ(pty.read_at_far_end(256), sent);
    // Nothing was echoed back to the far end.
    pollfd p{pty.master(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0);
    UartClose(fd);
}

// ---- Signals: a send completes, a receive reports the interruption ---------------------------------------

std::atomic<int> g_signals{0};
void count_signal(int) { ++g_signals; }

// Installs a SIGUSR1 handler without SA_RESTART, so blocked reads and writes are cut short.
class SignalGuard {
public:
    SignalGuard() {
        struct sigaction sa{};
        sa.sa_handler = count_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR1, &sa, &previous_);
    }
    ~SignalGuard() { sigaction(SIGUSR1, &previous_, nullptr); }

private:
    struct sigaction previous_{};
};

TEST(UartSignals, SendInterruptedWhileTheLineIsFullStillDeliversEveryByte) {
    Pty pty;
    SignalGuard guard;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> message(1 << 20);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i ^ (i >> 9));

    const pthread_t writer = pthread_self();
    std::vector<uint8_t> arrived;
    std::thread far_end([&] {
        // Once the writer has filled the pty and blocked, interrupt it a few times, then drain.
        pollfd p{pty.master(), POLLIN, 0};
        poll(&p, 1, 5000);
        for (int i = 0; i < 5; ++i) {
            usleep(20 * 1000);
            pthread_kill(writer, SIGUSR1);
        }
        arrived = pty.read_at_far_end(message.size());
    });
    const int sent = UartSendData(fd, message.data(), static_cast<uint32_t>(message.size()));
    far_end.join();
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_EQ(sent, static_cast<int>(message.size()));
    EXPECT_EQ(arrived.size(), message.size());
    EXPECT_TRUE(arrived == message);
    UartClose(fd);
}

TEST(UartSignals, ReceiveInterruptedBySignalReturnsMinusEleven) {
    Pty pty;
    SignalGuard guard;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    UartSetCC(fd, 0, 1);  // wait for at least one byte, for ever
    LogCapture log;
    const pthread_t reader = pthread_self();
    std::atomic<bool> returned{false};
    std::thread waker([&] {
        while (!returned) {  // a signal that lands before the read starts is simply repeated
            usleep(50 * 1000);
            if (!returned) pthread_kill(reader, SIGUSR1);
        }
    });
    uint8_t buffer[16];
    const int result = UartRecvData(fd, buffer, sizeof buffer);
    returned = true;
    waker.join();
    EXPECT_EQ(result, -11);
    EXPECT_TRUE(logged(log, kWarn, "UartRecvData Error:[-1]-[Interrupted system call]\n"));
    UartClose(fd);
}

// ---- Read timing and flushing -------------------------------------------------------------------------------

TEST(UartSetCC, ZeroTimeAndCountMakesAReadReturnAtOnce) {
    Pty pty;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    pty.preset([](termios &t) { t.c_cflag &= ~CLOCAL; });
    LogCapture log;
    UartSetCC(fd, 0, 0);
    const termios t = pty.attrs();
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(logged(log, kDebug, "Set Uart CC vTime[0] vMin[0] OK\n"));
    uint8_t buffer[8];
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), 0);

    // Data already waiting is still returned.
    pty.send_from_far_end({0x01, 0x02});
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), 2);

    UartSetCC(fd, 25, 200);
    EXPECT_EQ(pty.attrs().c_cc[VTIME], 25);
    EXPECT_EQ(pty.attrs().c_cc[VMIN], 200);
    EXPECT_TRUE(logged(log, kDebug, "Set Uart CC vTime[25] vMin[200] OK\n"));
    UartClose(fd);
}

TEST(UartSetCC, FailuresAreLoggedOnly) {
    LogCapture log;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    UartSetCC(pipe_fds[0], 1, 1);
    EXPECT_TRUE(logged(log, kWarn, "UART Set CC Error:Get fd attr error[Inappropriate ioctl for device]\n"));
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    Pty pty;
    const termios before = pty.attrs();
    const int fd = open(pty.name(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    g_tcsetattr.fail_errno = EIO;
    UartSetCC(fd, 0, 0);
    g_tcsetattr.fail_errno = 0;
    close(fd);
    EXPECT_TRUE(logged(log, kWarn, "UART Set CC Error:activate attr error[Input/output error]\n"));
    EXPECT_FALSE(log.contains("OK"));
    EXPECT_TRUE(same_attrs(before, pty.attrs()));
}

TEST(UartFlush, DiscardsReceivedUnreadBytes) {
    Pty pty;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    UartSetCC(fd, 0, 0);
    pty.send_from_far_end({'s', 't', 'a', 'l', 'e'});
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    LogCapture log;
    UartFlush(fd);
    EXPECT_TRUE(logged(log, kDebug, "Uart Will be TCIFLUSH\n"));
    uint8_t buffer[16];
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), 0);

    pty.send_from_far_end({'n', 'e', 'w'});
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    ASSERT_EQ(UartRecvData(fd, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 3), "new");
    UartClose(fd);
}

// ---- Invalid arguments, system errors, closing -------------------------------------------------------------

TEST(UartArguments, InvalidDescriptorAndNullBuffers) {
    Pty pty;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    LogCapture log;
    uint8_t buffer[4] = {1, 2, 3, 4};

    EXPECT_EQ(UartSendData(-1, buffer, sizeof buffer), -1);
    EXPECT_EQ(UartRecvData(-1, buffer, sizeof buffer), -1);
    EXPECT_EQ(UartSendData(-1, nullptr, 4), -1);  // the descriptor is checked first
    EXPECT_EQ(log.messages(), std::vector<std::string>(3, "Uart fd is invalid,Please call init uart\n"));
    for (const auto &line : log.lines()) EXPECT_EQ(line.priority, kErr);

    EXPECT_EQ(UartSendData(fd, nullptr, 4), -2);
    EXPECT_TRUE(logged(log, kWarn, "Uart SendData Buff is NULL.fd[" + std::to_string(fd) + "]\n"));
    EXPECT_EQ(UartRecvData(fd, nullptr, 4), -2);
    EXPECT_TRUE(logged(log, kWarn, "Uart Recv Buff is NULL\n"));
    pollfd p{pty.master(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0);  // nothing went out
    UartClose(fd);
}

TEST(UartArguments, SystemErrorsGiveMinusOneForSendAndMinusElevenForReceive) {
    LogCapture log;
    const int bad = closed_fd();
    uint8_t buffer[4] = {};
    EXPECT_EQ(UartSendData(bad, buffer, sizeof buffer), -1);
    EXPECT_TRUE(logged(log, kWarn, "UartSendData Error:fd[" + std::to_string(bad) + "]-[-1]-[Bad file descriptor]\n"));
    EXPECT_EQ(UartSendData(bad, buffer, 0), -1);
    EXPECT_EQ(UartRecvData(bad, buffer, sizeof buffer), -11);
    EXPECT_TRUE(logged(log, kWarn, "UartRecvData Error:[-1]-[Bad file descriptor]\n"));

    const int dir = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(UartRecvData(dir, buffer, sizeof buffer), -11);
    EXPECT_TRUE(logged(log, kWarn, "UartRecvData Error:[-1]-[Is a directory]\n"));
    close(dir);
}

TEST(UartArguments, FarEndHangUpReadsAsEndOfDataAndFailsSends) {
    Pty pty;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    pty.close_master();
    LogCapture log;
    uint8_t buffer[4] = {};
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), 0);
    EXPECT_EQ(UartSendData(fd, buffer, sizeof buffer), -1);
    EXPECT_TRUE(logged(log, kWarn, "UartSendData Error:fd[" + std::to_string(fd) + "]-[-1]-[Input/output error]\n"));
    UartClose(fd);
}

TEST(UartClose, ClosesTheDescriptorAndIgnoresMinusOne) {
    Pty pty;
    const int fd = UartInit(pty.name(), 115200, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    LogCapture log;
    UartClose(fd);
    EXPECT_FALSE(is_open(fd));
    EXPECT_TRUE(logged(log, kDebug, "Uart fd[" + std::to_string(fd) + "] closed\n"));
    UartClose(-1);
    EXPECT_TRUE(logged(log, kDebug, "Uart fd[-1] closed\n"));
}

}  // namespace
