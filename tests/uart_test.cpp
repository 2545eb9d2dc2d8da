// UART helper on pseudo-terminals, the master being the far end of the line. A pty forces CS8 and clears PARENB,
// so those two are read from what the helper handed to tcsetattr (wrapped at link time, see uart.cmake).
#include "tbox/uart.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

static int g_tcsetattr_fail = 0;
static termios g_tcsetattr_last{};
extern "C" int __real_tcsetattr(int fd, int action, const termios *t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios *t) {
    g_tcsetattr_last = *t;
    return g_tcsetattr_fail ? (errno = g_tcsetattr_fail, -1) : __real_tcsetattr(fd, action, t);
}

constexpr tcflag_t kC = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS, kRawI = IXON | IXOFF | IXANY | ICRNL;
struct Pty {
    int master = -1, slave = -1;
    char name[64] = {};
    termios t{};
    Pty() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~Pty() { close(master), close(slave); }
    const termios &attrs() { return tcgetattr(slave, &t), t; }
    termios preset(tcflag_t cflag, tcflag_t iflag) {  // the opposite of what the helper is then asked for
        t = attrs(), t.c_cflag = (t.c_cflag & ~kC) | cflag, t.c_iflag |= iflag, t.c_oflag |= OPOST, t.c_lflag |= ICANON;
        return tcsetattr(slave, TCSANOW, &t), attrs();
    }
    std::vector<uint8_t> receive(size_t n) const {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        for (pollfd p{master, POLLIN, 0}; got < n && poll(&p, 1, 5000) == 1;) got += read(master, &out[got], n - got);
        return out.resize(got), out;
    }
    static int next_fd(int fd = dup(0)) { return close(fd), fd; }  // the descriptor the next open() returns
};

TEST(Uart, AcceptedSettingsReachTheDeviceInRawMode) {
    const tcflag_t rows[][8] = {{9600, B9600, 0, 5, 2, 1, CS8 | CRTSCTS, CS5 | CSTOPB | PARENB | PARODD},
                                {4000000, B4000000, 1, 6, 1, 2, CS8 | CSTOPB | PARODD, CS6 | CRTSCTS | PARENB},
                                {921600, B921600, 2, 7, 1, 0, CS8 | CRTSCTS | PARENB, CS7 | CRTSCTS},  // keeps RTS/CTS
                                {57600, B57600, 2, 8, 1, 0, CS5 | CSTOPB | PARENB, CS8}};
    Pty pty;
    for (const auto &r : rows) {  // speed, code, flow, data, stop, parity, cflag before, cflag wanted
        pty.preset(r[6], kRawI | (r[5] ? 0 : INPCK));
        const int fd = UartInit(pty.name, int(r[0]), uint8_t(r[2]), uint8_t(r[3]), uint8_t(r[4]), uint8_t(r[5]));
        termios t = pty.attrs();
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | (g_tcsetattr_last.c_cflag & (CSIZE | PARENB));
        EXPECT_TRUE(fd >= 0 && cfgetispeed(&t) == r[1] && cfgetospeed(&t) == r[1]) << r[0];
        EXPECT_EQ(t.c_cflag & (kC | CLOCAL | CREAD), r[7] | CLOCAL | CREAD) << r[0];
        EXPECT_EQ(t.c_iflag & (kRawI | INPCK), r[5] ? INPCK : 0u) << r[0];  // XON/XOFF off, even for flow 2
        EXPECT_EQ((t.c_oflag & OPOST) | (t.c_lflag & ICANON), 0u) << r[0];
        UartClose(fd);
    }
}

TEST(Uart, RefusedSettingOrDeviceReturnsMinusOneLeavesTheAttributesAndClosesTheDescriptor) {
    Pty pty;
    const char *paths[] = {pty.name, pty.name, nullptr, "/nonexistent/tty", "/dev/null"};  // r[5]: 1 = tty refuses
    const int rows[][6] = {{19200, 0, 8, 1, 0, 0},  {115201, 0, 8, 1, 0, 0}, {115200, 3, 8, 1, 0, 0},
                           {115200, 0, 4, 1, 0, 0}, {115200, 0, 9, 1, 0, 0}, {115200, 0, 8, 0, 0, 0},
                           {115200, 0, 8, 3, 0, 0}, {9600, 1, 5, 2, 3, 0},   {115200, 0, 8, 1, 0, 1},
                           {115200, 0, 8, 1, 0, 2}, {115200, 0, 8, 1, 0, 3}, {115200, 0, 8, 1, 0, 4}};
    const termios before = pty.preset(CS8 | CSTOPB | PARODD | CRTSCTS, 0);
    for (const auto &r : rows) {
        const int fd = Pty::next_fd(), row = int(&r - rows);
        g_tcsetattr_fail = r[5] == 1 ? EIO : 0;
        EXPECT_EQ(UartInit(paths[r[5]], r[0], uint8_t(r[1]), uint8_t(r[2]), uint8_t(r[3]), uint8_t(r[4])), -1) << row;
        EXPECT_TRUE(std::memcmp(&before, &pty.attrs(), sizeof before) == 0 && fcntl(fd, F_GETFD) == -1) << row;
    }
}

TEST(Uart, BytesPassUnchangedBothWaysAndFailuresHaveTheirResults) {
    Pty pty;
    const int fd = UartInit(pty.name, 115200, 2, 8, 1, 0), bad = Pty::next_fd();  // XON/XOFF must not eat bytes
    std::vector<uint8_t> sent(256), got(256);                                     // CR, LF, ^C, ^D, ^Q, ^S, DEL...
    for (int i = 0; i < 256; ++i) sent[i] = uint8_t(i);
    ASSERT_EQ(write(pty.master, sent.data(), 256), 256);
    for (int in = 0, n = 1; in < 256 && n > 0; in += n) n = UartRecvData(fd, &got[in], 256 - in);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(UartSendData(fd, sent.data(), 256), 256);
    EXPECT_EQ(pty.receive(256), sent);
    UartSetCC(fd, 0, 0);  // first read: at once, and nothing was echoed; then bad descriptor, null buffer, failures
    uint8_t *const p = got.data();
    EXPECT_EQ(std::vector<int>({UartRecvData(fd, p, 256), UartSendData(-1, p, 4), UartRecvData(-1, p, 4),
                                UartSendData(fd, nullptr, 4), UartRecvData(fd, nullptr, 4), UartSendData(bad, p, 0),
                                UartRecvData(bad, p, 4)}),
              std::vector<int>({0, -1, -1, -2, -2, -1, -11}));
}

TEST(Uart, SendInterruptedWhileTheLineIsFullStillDeliversEveryByte) {
    signal(SIGUSR1, [](int) {});
    Pty pty;
    const int fd = UartInit(pty.name, 115200, 0, 8, 1, 0);
    std::vector<uint8_t> message(1 << 20), arrived;
    for (size_t i = 0; i < message.size(); ++i) message[i] = uint8_t(i ^ (i >> 9));
    std::thread far_end([&, writer = pthread_self()] {
        for (int i = 0; i < 10; ++i) usleep(20 * 1000), pthread_kill(writer, SIGUSR1);  // the line is full by now
        arrived = pty.receive(message.size());
    });
    EXPECT_EQ(UartSendData(fd, message.data(), uint32_t(message.size())), int(message.size()));
    far_end.join();
    EXPECT_TRUE(arrived == message);
}
