// UART helper on pseudo-terminals; the master side is the far end of the line. A pty forces CS8 and
// clears PARENB, so those two are read from what the helper handed to tcsetattr (wrapped in uart.cmake).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tbox/errors.h"
#include "tbox/uart.h"

namespace {
int g_tcsetattrError = 0;  // when set, the device refuses the settings
termios g_tcsetattrLast{};
}  // namespace

extern "C" int __real_tcsetattr(int fd, int action, const termios *t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios *t) {
    g_tcsetattrLast = *t;
    if (g_tcsetattrError == 0) return __real_tcsetattr(fd, action, t);
    errno = g_tcsetattrError;
    return -1;
}

namespace {

constexpr tcflag_t kLineBits = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
constexpr tcflag_t kSoftwareFlow = IXON | IXOFF | IXANY;

struct Pty {
    Pty() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~Pty() {
        close(master);
        close(slave);
    }
    termios attrs() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    // Puts the device in the opposite of raw mode, with the given line bits.
    termios preset(tcflag_t cflag) {
        termios t = attrs();
        t.c_cflag = (t.c_cflag & ~kLineBits) | cflag;
        t.c_iflag |= kSoftwareFlow | ICRNL | INPCK;
        t.c_oflag |= OPOST;
        t.c_lflag |= ICANON | ECHO;
        tcsetattr(slave, TCSANOW, &t);
        return attrs();
    }
    std::vector<uint8_t> receive(size_t n) const {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        pollfd p{master, POLLIN, 0};
        while (got < n && poll(&p, 1, 5000) == 1) got += static_cast<size_t>(read(master, &out[got], n - got));
        out.resize(got);
        return out;
    }
    int master = -1, slave = -1;
    char name[64] = {};
};

// The descriptor the next open() will return.
int next_fd() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

// The build sets TBOX_TEST_EMULATOR when the tests run under an emulator (qemu-user for the armhf build).
bool emulated() {
    const char *emulator = std::getenv("TBOX_TEST_EMULATOR");
    return emulator != nullptr && *emulator != '\0';
}

TEST(Uart, AcceptedSettingsReachTheDeviceInRawMode) {
    struct Row {
        int speed;
        speed_t code;
        uint8_t flow, data, stop, parity;
        tcflag_t before, wanted;  // line bits
    };
    const Row rows[] = {{9600, B9600, 0, 5, 2, 1, CS8 | CRTSCTS, CS5 | CSTOPB | PARENB | PARODD},
                        {460800, B460800, 1, 6, 1, 2, CS8 | CSTOPB | PARODD, CS6 | CRTSCTS | PARENB},
                        {115200, B115200, 2, 7, 1, 0, CS8 | CRTSCTS | PARENB, CS7 | CRTSCTS},  // keeps RTS/CTS
                        {57600, B57600, 2, 8, 1, 0, CS5 | CSTOPB | PARENB, CS8}};
    Pty pty;
    for (const Row &r : rows) {
        pty.preset(r.before);
        const int fd = UartInit(pty.name, r.speed, r.flow, r.data, r.stop, r.parity);
        ASSERT_GE(fd, 0) << r.speed;
        termios t = pty.attrs();
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | (g_tcsetattrLast.c_cflag & (CSIZE | PARENB));
        EXPECT_EQ(cfgetispeed(&t), r.code) << r.speed;
        EXPECT_EQ(cfgetospeed(&t), r.code) << r.speed;
        EXPECT_EQ(t.c_cflag & (kLineBits | CLOCAL | CREAD), r.wanted | CLOCAL | CREAD) << r.speed;
        EXPECT_EQ(t.c_iflag & (kSoftwareFlow | ICRNL | INPCK), r.parity != 0 ? INPCK : 0u) << r.speed;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << r.speed;
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << r.speed;
        UartClose(fd);
    }
}

struct Speed {
    int bitsPerSecond;
    speed_t code;
};

// Names each case by its speed (gtest_discover_tests names parameterized cases by the printed value).
void PrintTo(const Speed &s, std::ostream *out) {
    *out << s.bitsPerSecond;
}

class UartSpeed : public ::testing::TestWithParam<Speed> {};

// Every documented speed, and the termios speed that stands for it.
const Speed kSpeeds[] = {{9600, B9600},       {38400, B38400},     {57600, B57600},     {115200, B115200},
                         {460800, B460800},   {576000, B576000},   {921600, B921600},   {1500000, B1500000},
                         {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
                         {4000000, B4000000}};

TEST_P(UartSpeed, ReachesTheDeviceAsItsOwnTermiosSpeed) {
    const Speed s = GetParam();
    Pty pty;
    termios other = pty.attrs();
    cfsetspeed(&other, s.code == B9600 ? B115200 : B9600);
    tcsetattr(pty.slave, TCSANOW, &other);
    const int fd = UartInit(pty.name, s.bitsPerSecond, 0, 8, 1, 0);
    ASSERT_GE(fd, 0);
    UartClose(fd);
    EXPECT_EQ(cfgetispeed(&g_tcsetattrLast), s.code);
    EXPECT_EQ(cfgetospeed(&g_tcsetattrLast), s.code);
    if (emulated() && s.bitsPerSecond > 460800)
        GTEST_SKIP() << "not checked on the device: qemu-user hands speeds above 460800 to a pty as B0";
    const termios t = pty.attrs();
    EXPECT_EQ(cfgetispeed(&t), s.code);
    EXPECT_EQ(cfgetospeed(&t), s.code);
}

INSTANTIATE_TEST_SUITE_P(Documented, UartSpeed, ::testing::ValuesIn(kSpeeds),
                         [](const ::testing::TestParamInfo<Speed> &row) {
                             return std::to_string(row.param.bitsPerSecond);
                         });

TEST(Uart, RefusedSettingOrDeviceFailsLeavesTheAttributesAndClosesTheDescriptor) {
    Pty pty;
    struct Row {
        const char *path;
        int speed;
        uint8_t flow, data, stop, parity;
        int deviceError;
    };
    const Row rows[] = {{pty.name, 19200, 0, 8, 1, 0, 0},
                        {pty.name, 115201, 0, 8, 1, 0, 0},
                        {pty.name, 115200, 3, 8, 1, 0, 0},
                        {pty.name, 115200, 0, 4, 1, 0, 0},
                        {pty.name, 115200, 0, 9, 1, 0, 0},
                        {pty.name, 115200, 0, 8, 0, 0, 0},
                        {pty.name, 115200, 0, 8, 3, 0, 0},
                        {pty.name, 9600, 1, 5, 2, 3, 0},
                        {pty.name, 115200, 0, 8, 1, 0, EIO},
                        {nullptr, 115200, 0, 8, 1, 0, 0},
                        {"/nonexistent/tty", 115200, 0, 8, 1, 0, 0},
                        {"/dev/null", 115200, 0, 8, 1, 0, 0}};
    const termios before = pty.preset(CS8 | CSTOPB | PARODD | CRTSCTS);
    for (const Row &r : rows) {
        const int fd = next_fd();
        g_tcsetattrError = r.deviceError;
        EXPECT_EQ(UartInit(r.path, r.speed, r.flow, r.data, r.stop, r.parity), -1) << r.speed;
        const termios after = pty.attrs();
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << r.speed;
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor left open, speed " << r.speed;
    }
    g_tcsetattrError = 0;
}

TEST(Uart, BytesPassUnchangedBothWaysAndFailuresHaveTheirResults) {
    Pty pty;
    const int fd = UartInit(pty.name, 115200, 2, 8, 1, 0);  // XON/XOFF must not eat ^Q/^S
    const int closed = next_fd();
    std::vector<uint8_t> sent(256), got(256);
    for (int i = 0; i < 256; ++i) sent[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(write(pty.master, sent.data(), 256), 256);
    for (int in = 0, n = 1; in < 256 && n > 0; in += n) n = UartRecvData(fd, &got[in], 256 - in);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(UartSendData(fd, sent.data(), 256), 256);
    EXPECT_EQ(pty.receive(256), sent);

    UartSetCC(fd, 0, 0);
    uint8_t *const p = got.data();
    EXPECT_EQ(UartRecvData(fd, p, 256), 0);  // at once, and nothing was echoed back
    EXPECT_EQ(UartSendData(-1, p, 4), -1);
    EXPECT_EQ(UartRecvData(-1, p, 4), -1);
    EXPECT_EQ(UartSendData(fd, nullptr, 4), -2);
    EXPECT_EQ(UartRecvData(fd, nullptr, 4), -2);
    EXPECT_EQ(UartSendData(closed, p, 0), -1);
    EXPECT_EQ(UartRecvData(closed, p, 4), -11);
    UartClose(fd);
}

TEST(Uart, SendInterruptedWhileTheLineIsFullStillDeliversEveryByte) {
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the write is cut short
    sigaction(SIGUSR1, &action, nullptr);
    Pty pty;
    const int fd = UartInit(pty.name, 115200, 0, 8, 1, 0);
    std::vector<uint8_t> message(1 << 20), arrived;
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i ^ (i >> 9));
    std::thread far_end([&, writer = pthread_self()] {
        for (int i = 0; i < 10; ++i) {
            usleep(20 * 1000);  // the line is full by now
            pthread_kill(writer, SIGUSR1);
        }
        arrived = pty.receive(message.size());
    });
    EXPECT_EQ(UartSendData(fd, message.data(), static_cast<uint32_t>(message.size())),
              static_cast<int>(message.size()));
    far_end.join();
    EXPECT_TRUE(arrived == message);
    UartClose(fd);
}

TEST(Uart, ReceiveInterruptedBySignalReturnsTheReadError) {
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the read is cut short
    sigaction(SIGUSR1, &action, nullptr);
    Pty pty;
    const int fd = UartInit(pty.name, 115200, 0, 8, 1, 0);
    UartSetCC(fd, 0, 1);  // wait for one byte, however long
    std::atomic<bool> returned{false};
    std::thread far_end([&, reader = pthread_self()] {
        for (int i = 0; i < 50 && !returned; ++i) {
            usleep(20 * 1000);
            pthread_kill(reader, SIGUSR1);
        }
        const uint8_t byte = 0x5A;  // ends a read that went on waiting
        EXPECT_EQ(write(pty.master, &byte, 1), 1);
    });
    uint8_t buffer[16];
    EXPECT_EQ(UartRecvData(fd, buffer, sizeof buffer), TBOX_ERR_READ);
    returned = true;
    far_end.join();
    UartClose(fd);
}

}  // namespace
