// UART helper on real pseudo-terminals: the helper opens the pty's slave by name, the test holds the master
// as the far end of the line and reads the attributes back from the slave. A Linux pty forces CS8 and clears
// PARENB on every tcsetattr, so those two are read from what the helper handed to tcsetattr, which the link
// wraps (-Wl,--wrap=tcsetattr in tests/uart.cmake).
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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "tbox/uart.h"

// What the code under test last handed to tcsetattr, and an injected failure.
static int g_tcsetattr_calls = 0, g_tcsetattr_fail = 0;
static termios g_tcsetattr_last{};

extern "C" int __real_tcsetattr(int fd, int action, const termios *t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios *t) {
    ++g_tcsetattr_calls;
    g_tcsetattr_last = *t;
    if (g_tcsetattr_fail == 0) return __real_tcsetattr(fd, action, t);
    errno = g_tcsetattr_fail;
    return -1;
}

namespace {

using tbox::test::LogCapture;
using Bytes = std::vector<uint8_t>;

bool readable(int fd, int timeout_ms = 1000) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

struct Pty {
    int master = -1, slave = -1;
    char name[64] = {};
    Pty() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~Pty() {
        for (const int fd : {master, slave}) close(fd);
    }
    termios attrs() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
    template <typename Edit>
    termios preset(Edit edit) {
        termios t = attrs();
        edit(t);
        EXPECT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        g_tcsetattr_calls = 0;
        return attrs();
    }
    void send(const Bytes &b) const { ASSERT_EQ(write(master, b.data(), b.size()), ssize_t(b.size())); }
    Bytes receive(size_t n) const {
        Bytes out(n);
        size_t got = 0;
        while (got < n && readable(master, 5000)) {
            const ssize_t r = read(master, out.data() + got, n - got);
            if (r <= 0) break;
            got += size_t(r);
        }
        out.resize(got);
        return out;
    }
};

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}
// The descriptor the next open() will return: the lowest free one.
int next_fd() {
    const int fd = dup(0);
    close(fd);
    return fd;
}
bool same_attrs(const termios &a, const termios &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A line opened at 115200 8N1 without flow control; the master end of the pty is the far end.
struct UartLine : testing::Test {
    Pty pty;
    int fd = UartInit(pty.name, 115200, 0, 8, 1, 0);
    void SetUp() override { ASSERT_GE(fd, 0); }
    void TearDown() override { UartClose(fd); }
};

// ---- Line settings ----------------------------------------------------------------------------------------

TEST(UartSettings, EverySupportedSpeedSetsBothDirections) {
    const std::pair<int, speed_t> speeds[] = {
        {9600, B9600},       {38400, B38400},     {57600, B57600},     {115200, B115200},   {460800, B460800},
        {576000, B576000},   {921600, B921600},   {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
    Pty pty;
    for (const auto &[speed, code] : speeds) {
        pty.preset([](termios &t) { cfsetspeed(&t, B1200); });
        const int fd = UartInit(pty.name, speed, 0, 8, 1, 0);
        const termios t = pty.attrs();
        EXPECT_TRUE(fd >= 0 && cfgetispeed(&t) == code && cfgetospeed(&t) == code) << speed;
        UartClose(fd);
        EXPECT_FALSE(is_open(fd));
    }
    UartClose(-1);  // ignored
}

TEST(UartSettings, LineBitsAndRawModeKeepingEverythingElse) {
    constexpr tcflag_t kC = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CLOCAL | CREAD;
    constexpr tcflag_t kI = INPCK | IXON | IXOFF | IXANY, kRawI = kI | INLCR | IGNCR | ICRNL;
    constexpr tcflag_t kRawO = OPOST | ONLCR | OCRNL, kRawL = ICANON | ECHO | ECHOE | ISIG;
    struct Case {
        uint8_t flow, data, stop, parity;
        tcflag_t before_c, before_i, want_c, want_i;
    };
    // Each value from the opposite state. Flow control 2 asks for XON/XOFF, which the raw mode that follows
    // switches off again, and keeps RTS/CTS as it was.
    const Case cases[] = {
        {0, 5, 2, 1, CS8 | CRTSCTS, 0, CS5 | CSTOPB | PARENB | PARODD, INPCK},
        {1, 6, 1, 2, CS8 | CSTOPB | PARODD, 0, CS6 | CRTSCTS | PARENB, INPCK},
        {2, 7, 1, 0, CS8 | CRTSCTS | PARENB | PARODD, INPCK, CS7 | CRTSCTS | PARODD, 0},  // none keeps PARODD
        {2, 8, 1, 0, CS5, 0, CS8, 0},
    };
    Pty pty;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        const termios before = pty.preset([&](termios &t) {
            t.c_cflag = (t.c_cflag & ~kC) | c.before_c | CREAD;
            t.c_iflag = (t.c_iflag & ~kI) | c.before_i | kRawI | ISTRIP;
            t.c_oflag |= kRawO;
            t.c_lflag |= kRawL | ECHOK;
            t.c_cc[VMIN] = 5;
            t.c_cc[VTIME] = 7;
        });
        const int fd = UartInit(pty.name, 115200, c.flow, c.data, c.stop, c.parity);
        ASSERT_GE(fd, 0);
        termios t = pty.attrs();  // with the two fields the pty overrides taken from what it was handed
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | (g_tcsetattr_last.c_cflag & (CSIZE | PARENB));
        EXPECT_EQ(t.c_cflag & kC, c.want_c | CLOCAL | CREAD);
        EXPECT_EQ(t.c_iflag, (before.c_iflag & ~kRawI) | c.want_i);
        EXPECT_EQ(t.c_oflag, before.c_oflag & ~kRawO);
        EXPECT_EQ(t.c_lflag, before.c_lflag & ~kRawL);
        EXPECT_EQ(std::memcmp(t.c_cc, before.c_cc, sizeof t.c_cc), 0);
        UartClose(fd);
    }
}

TEST(UartSettings, RefusedSettingLeavesDeviceAsItWasAndClosesTheDescriptor) {
    struct Case {
        int speed;
        uint8_t flow, data, stop, parity;
        const char *message;
    };
    const Case cases[] = {
        {19200, 0, 8, 1, 0, "UART Set Speed Error:Speed[19200] Not Support\n"},
        {230400, 0, 8, 1, 0, "UART Set Speed Error:Speed[230400] Not Support\n"},
        {0, 0, 8, 1, 0, "UART Set Speed Error:Speed[0] Not Support\n"},
        {115201, 0, 8, 1, 0, "UART Set Speed Error:Speed[115201] Not Support\n"},
        {115200, 3, 8, 1, 0, "UART Set flowCtrl Error: Wrong param [3]\n"},
        {115200, 0, 4, 1, 0, "UART Set dataBit Error: Wrong param [4]\n"},
        {115200, 0, 9, 1, 0, "UART Set dataBit Error: Wrong param [9]\n"},
        {115200, 0, 8, 0, 0, "UART Set stopBit Error: Wrong param [0]\n"},
        {115200, 0, 8, 3, 0, "UART Set stopBit Error: Wrong param [3]\n"},
        {9600, 1, 5, 2, 3, "UART Set parity Error: Wrong param [3]\n"},  // refused after all the others
    };
    Pty pty;
    const termios before = pty.preset([](termios &t) { t.c_cflag |= CSTOPB | PARODD | CRTSCTS; });
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        LogCapture log;
        const int fd = next_fd();
        EXPECT_EQ(UartInit(pty.name, c.speed, c.flow, c.data, c.stop, c.parity), -1);
        EXPECT_TRUE(log.has(c.message));
        EXPECT_TRUE(log.has(std::string("Uart[") + pty.name + "] Init Error\n"));
        EXPECT_EQ(g_tcsetattr_calls, 0);
        EXPECT_TRUE(same_attrs(before, pty.attrs()));
        EXPECT_FALSE(is_open(fd));
    }
    const int fd = next_fd();
    g_tcsetattr_fail = EIO;  // the device itself refuses
    EXPECT_EQ(UartInit(pty.name, 115200, 0, 8, 1, 0), -1);
    g_tcsetattr_fail = 0;
    EXPECT_TRUE(same_attrs(before, pty.attrs()));
    EXPECT_FALSE(is_open(fd));
}

TEST(UartSettings, OpenFailuresReturnMinusOneAndCloseTheDescriptor) {
    LogCapture log;
    EXPECT_EQ(UartInit(nullptr, 115200, 0, 8, 1, 0), -1);
    EXPECT_TRUE(log.has("UartDdev Path is NULL\n"));
    EXPECT_EQ(UartInit("/nonexistent/ttyS9", 115200, 0, 8, 1, 0), -1);
    EXPECT_TRUE(log.has("Uart[/nonexistent/ttyS9] open Error[No such file or directory]\n"));
    const int fd = next_fd();
    EXPECT_EQ(UartInit("/dev/null", 115200, 0, 8, 1, 0), -1);  // not a terminal: refused by tcgetattr
    EXPECT_TRUE(
        log.has("UART Set Error:Get fd[" + std::to_string(fd) + "] attr error[Inappropriate ioctl for device]\n"));
    EXPECT_FALSE(is_open(fd));
}

// ---- Bytes on the line ------------------------------------------------------------------------------------

TEST_F(UartLine, EveryByteValuePassesUnchangedBothWaysWithoutEcho) {
    UartClose(fd);
    ASSERT_GE(fd = UartInit(pty.name, 115200, 2, 8, 1, 0), 0);  // asking for XON/XOFF must not eat them
    Bytes sent(256), received;                                  // includes CR, LF, XON/XOFF, ^C, ^D and DEL
    for (int i = 0; i < 256; ++i) sent[i] = uint8_t(i);
    pty.send(sent);
    uint8_t buffer[64];
    for (int n; received.size() < sent.size() && (n = UartRecvData(fd, buffer, sizeof buffer)) > 0;)
        received.insert(received.end(), buffer, buffer + n);
    EXPECT_EQ(received, sent);
    EXPECT_EQ(UartSendData(fd, received.data(), 256), 256);
    EXPECT_EQ(pty.receive(256), sent);
    EXPECT_FALSE(readable(pty.master, 50));  // nothing echoed
}

TEST_F(UartLine, ZeroTimeAndCountReadsReturnAtOnceFlushDiscardsUnreadBytes) {
    UartSetCC(fd, 0, 0);
    uint8_t buffer[8];
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), 0);
    pty.send({'s', 't', 'a', 'l', 'e'});
    ASSERT_TRUE(readable(fd));
    UartFlush(fd);
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), 0);
    pty.send({'n', 'e', 'w'});
    ASSERT_TRUE(readable(fd));
    ASSERT_EQ(UartRecvData(fd, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 3), "new");
    UartSetCC(fd, 25, 200);
    EXPECT_EQ(pty.attrs().c_cc[VTIME], 25);
    EXPECT_EQ(pty.attrs().c_cc[VMIN], 200);
}

TEST_F(UartLine, InvalidDescriptorNullBufferSystemErrorAndHangUp) {
    uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(UartSendData(-1, buffer, 4), -1);
    EXPECT_EQ(UartRecvData(-1, buffer, 4), -1);
    EXPECT_EQ(UartSendData(-1, nullptr, 4), -1);  // the descriptor is checked first
    EXPECT_EQ(UartSendData(fd, nullptr, 4), -2);
    EXPECT_EQ(UartRecvData(fd, nullptr, 4), -2);
    EXPECT_FALSE(readable(pty.master, 50));

    const int bad = next_fd();
    LogCapture log;
    EXPECT_EQ(UartSendData(bad, buffer, 4), -1);
    EXPECT_TRUE(log.has("UartSendData Error:fd[" + std::to_string(bad) + "]-[-1]-[Bad file descriptor]\n"));
    EXPECT_EQ(UartSendData(bad, buffer, 0), -1);  // an empty message still reports the bad descriptor
    EXPECT_EQ(UartRecvData(bad, buffer, 4), -11);

    close(pty.master);  // the far end hangs up
    pty.master = -1;
    EXPECT_EQ(UartRecvData(fd, buffer, 4), 0);
    EXPECT_EQ(UartSendData(fd, buffer, 4), -1);
}

// ---- Signals: a send completes, a receive reports the interruption ----------------------------------------

std::atomic<int> g_signals{0};

// Sends SIGUSR1 (caught without SA_RESTART, so blocking calls are cut short) to the creating thread every
// 20 ms until destroyed; a signal that lands before the call under test starts is simply repeated.
struct Interrupter {
    std::atomic<bool> done{false};
    const pthread_t target = pthread_self();
    std::thread thread{[this] {
        struct sigaction sa {};
        sa.sa_handler = [](int) { ++g_signals; };
        sigaction(SIGUSR1, &sa, nullptr);
        while (!done) {
            usleep(20 * 1000);
            if (!done) pthread_kill(target, SIGUSR1);
        }
    }};
    ~Interrupter() {
        done = true;
        thread.join();
    }
};

TEST_F(UartLine, SendInterruptedWhileTheLineIsFullStillDeliversEveryByte) {
    Bytes message(1 << 20), arrived;
    for (size_t i = 0; i < message.size(); ++i) message[i] = uint8_t(i ^ (i >> 9));
    Interrupter interrupter;
    std::thread far_end([&] {
        usleep(150 * 1000);  // the writer fills the line and blocks meanwhile
        arrived = pty.receive(message.size());
    });
    const int sent = UartSendData(fd, message.data(), uint32_t(message.size()));
    far_end.join();
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_EQ(sent, int(message.size()));
    EXPECT_TRUE(arrived == message);
}

TEST_F(UartLine, ReceiveInterruptedBySignalReturnsMinusEleven) {
    UartSetCC(fd, 0, 1);  // wait for at least one byte, for ever
    Interrupter interrupter;
    uint8_t buffer[16];
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), -11);
}

}  // namespace
