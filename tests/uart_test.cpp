// UART helper on pseudo-terminals; the master side is the far end of the line. A pty forces CS8 and
// clears PARENB, so those two are read from what the helper handed to tcsetattr (wrapped in uart.cmake).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/io.h"
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
    // Puts the device in the opposite of raw mode, with the given line bits, parity checks on or off.
    termios preset(tcflag_t cflag, bool inputParityCheck = true) {
        termios t = attrs();
        t.c_cflag = (t.c_cflag & ~kLineBits) | cflag;
        t.c_iflag |= kSoftwareFlow | ICRNL;
        t.c_iflag = inputParityCheck ? (t.c_iflag | INPCK) : (t.c_iflag & ~INPCK);
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
        int speed;  // its termios code is UartSpeed's
        uint8_t flow, data, stop, parity;
        tcflag_t before, wanted;  // line bits
    };
    const Row rows[] = {{9600, 0, 5, 2, 1, CS8 | CRTSCTS, CS5 | CSTOPB | PARENB | PARODD},
                        {460800, 1, 6, 1, 2, CS8 | CSTOPB | PARODD, CS6 | CRTSCTS | PARENB},
                        {115200, 2, 7, 1, 0, CS8 | CRTSCTS | PARENB, CS7 | CRTSCTS},  // keeps RTS/CTS
                        {57600, 2, 8, 1, 0, CS5 | CSTOPB | PARENB, CS8}};
    Pty pty;
    for (const Row &r : rows) {
        pty.preset(r.before, r.parity == 0);  // the parity check starts the other way round
        const int fd = UartInit(pty.name, r.speed, r.flow, r.data, r.stop, r.parity);
        ASSERT_GE(fd, 0) << r.speed;
        termios t = pty.attrs();
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | (g_tcsetattrLast.c_cflag & (CSIZE | PARENB));
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

    // A send that fails after part of the data went out reports that part (a non-blocking pipe of one page).
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    const int room = fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(room, 0);
    const std::vector<uint8_t> lots(static_cast<size_t>(room) * 2, 0x55);
    EXPECT_EQ(UartSendData(pipeFds[1], lots.data(), static_cast<uint32_t>(lots.size())), room);
    UartClose(pipeFds[0]);
    UartClose(pipeFds[1]);
}

// A line opened by UartInit (115200 8N1) on a fresh pty, and SIGUSR1 installed without SA_RESTART, so
// a read or write it interrupts is cut short.
struct InterruptibleLine : Pty {
    InterruptibleLine() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGUSR1, &action, nullptr);
    }
    ~InterruptibleLine() { UartClose(fd); }
    // Interrupts `thread` every 20 ms, `times` times or until `stop` is set.
    static void interrupt(pthread_t thread, int times, const std::atomic<bool> &stop) {
        for (int i = 0; i < times && !stop; ++i) {
            usleep(20 * 1000);
            pthread_kill(thread, SIGUSR1);
        }
    }
    const int fd = UartInit(name, 115200, 0, 8, 1, 0);
};

TEST(Uart, SendInterruptedWhileTheLineIsFullStillDeliversEveryByte) {
    InterruptibleLine line;
    std::vector<uint8_t> message(1 << 20), arrived;
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i ^ (i >> 9));
    std::thread far_end([&, writer = pthread_self()] {
        InterruptibleLine::interrupt(writer, 10, false);  // the line is full by the first one
        arrived = line.receive(message.size());
    });
    EXPECT_EQ(UartSendData(line.fd, message.data(), static_cast<uint32_t>(message.size())),
              static_cast<int>(message.size()));
    far_end.join();
    EXPECT_TRUE(arrived == message);
}

TEST(Uart, ReceiveInterruptedBySignalReturnsTheReadError) {
    InterruptibleLine line;
    UartSetCC(line.fd, 0, 1);  // wait for one byte, however long
    std::atomic<bool> returned{false};
    std::thread far_end([&, reader = pthread_self()] {
        InterruptibleLine::interrupt(reader, 50, returned);
        const uint8_t byte = 0x5A;  // ends a read that went on waiting
        EXPECT_EQ(write(line.master, &byte, 1), 1);
    });
    uint8_t buffer[16];
    EXPECT_EQ(UartRecvData(line.fd, buffer, sizeof buffer), TBOX_ERR_READ);
    returned = true;
    far_end.join();

    // The library's whole reads (tbox::io::read_full) go on through the same interruptions (the count
    // may include the byte that ended the wait above).
    std::thread sender([&, reader = pthread_self()] {
        InterruptibleLine::interrupt(reader, 5, false);
        const uint8_t bytes[4] = {1, 2, 3, 4};
        EXPECT_EQ(write(line.master, bytes, sizeof bytes), 4);
    });
    EXPECT_EQ(tbox::io::read_full(line.fd, buffer, 4), 4);
    sender.join();
}

// Whether thread `tid` of this process sleeps (in the blocking read under test) within 5 s.
bool sleeps_soon(pid_t tid) {
    for (int i = 0; i < 500; ++i) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        const std::string text(std::istreambuf_iterator<char>(stat), {});
        const size_t end = text.rfind(") ");
        if (end != std::string::npos && text.compare(end + 2, 1, "S") == 0) return true;
        usleep(10 * 1000);
    }
    return false;
}

// Reads from the line while the far end closes (once the read waits); UartRecvData's result.
int read_while_far_end_closes(InterruptibleLine &line, uint8_t *buffer, uint32_t size) {
    std::thread far_end([&line, reader = static_cast<pid_t>(syscall(SYS_gettid))] {
        EXPECT_TRUE(sleeps_soon(reader)) << "the read did not start";
        close(line.master);
        line.master = -1;
    });
    const int result = UartRecvData(line.fd, buffer, size);
    far_end.join();
    return result;
}

// The far end goes away while a read waits: the read fails, or, when bytes had come, returns them; the
// hung-up line then reads as empty at once however long a read would wait, and refuses writes.
TEST(Uart, FarEndClosingMidReadEndsTheReadAndLaterWritesFail) {
    uint8_t buffer[16] = {};
    for (const bool bytesCame : {false, true}) {
        SCOPED_TRACE(bytesCame);
        InterruptibleLine line;
        UartSetCC(line.fd, 0, 8);  // wait for eight bytes, however long
        const uint8_t bytes[] = {1, 2, 3};
        if (bytesCame) {
            ASSERT_EQ(write(line.master, bytes, sizeof bytes), 3);
            int pending = 0;  // a hang-up discards what has not reached the line discipline yet
            for (int i = 0; i < 500 && pending < 3; ++i, usleep(1000)) ioctl(line.fd, FIONREAD, &pending);
        }
        EXPECT_EQ(read_while_far_end_closes(line, buffer, sizeof buffer), bytesCame ? 3 : TBOX_ERR_READ);
        if (bytesCame) {
            EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), std::vector<uint8_t>(bytes, bytes + 3));
        }
        EXPECT_EQ(UartRecvData(line.fd, buffer, sizeof buffer), 0);
        EXPECT_EQ(UartSendData(line.fd, buffer, 4), -1);
    }
}

}  // namespace
