// The simulator in front of real devices: a receiver on a serial port and one behind gpsd (Debian's gpsd,
// driven by its gpsfake), and a modem's AT port played by the test on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tbox/at.h>
#include <tbox/errors.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nmea.h"
#include "support/fake_service.h"
#include "support/files.h"
#include "support/free_port.h"
#include "support/print_capture.h"
#include "support/pump.h"
#include "support/sim_runner.h"

using tbox::test::free_port;
using tbox::test::PrintCapture;
using tbox::test::pump_for;
using tbox::test::pump_until;
using tbox::test::SignalRecorder;
using tbox::test::SimRunner;
using tbox::test::TempDir;

namespace {

const std::string kRmc =
    tbox::sim::nmea::with_checksum("$GPRMC,101500.00,A,4806.0000,N,01130.0000,E,10.0,84.4,230326,,,A");
const std::string kGga =
    tbox::sim::nmea::with_checksum("$GPGGA,101500.00,4806.0000,N,01130.0000,E,1,08,0.9,545.4,M,46.9,M,,");
const std::string kGsa = tbox::sim::nmea::with_checksum("$GPGSA,A,3,03,05,07,,,,,,,,,,1.3,0.9,1.0");
const char *const kRecord = "(1, 48100000, 11500000, 5454, 185, 844, 8, 9, 20260323, 101500)";

// A pseudo-terminal whose master side the test holds; the simulator opens `slave`.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) ADD_FAILURE() << "no pseudo-terminal";
        slave = ptsname(master);
    }
    ~Pty() { close_master(); }
    void write_text(const std::string &text) const {
        ASSERT_EQ(write(master, text.data(), text.size()), (ssize_t)text.size());
    }
    void close_master() {
        if (master >= 0) close(master);
        master = -1;
    }
    int master = -1;
    std::string slave;
};

std::vector<std::string> args_of(const SignalRecorder &signals, const std::string &member) {
    std::vector<std::string> out;
    for (const auto &s : signals.of(member)) out.push_back(s.args);
    return out;
}

std::string quoted(const std::string &sentence) {
    return "('" + sentence + "',)";
}

// The simulator's complaints (standard error) while alive.
class Complaints {
public:
    Complaints() {
        g_set_printerr_handler([](const gchar *text) {
            std::lock_guard<std::mutex> held(mutex_);
            text_ += text;
        });
    }
    ~Complaints() { g_set_printerr_handler(nullptr); }
    static std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    static inline std::mutex mutex_;
    static inline std::string text_;
};

TEST(SimDevices, AReceiverOnASerialPortGivesTheLogsSignalsAndIsOpenedAgainWhenItComesBack) {
    TempDir dir;
    const std::string link = dir / "gps";  // a stable name, as udev gives, for a device that comes and goes
    auto pty = std::make_unique<Pty>();
    ASSERT_EQ(symlink(pty->slave.c_str(), link.c_str()), 0);
    tbox::sim::Options options;
    options.gnss_device = link;
    Complaints complaints;
    PrintCapture printed;
    SignalRecorder signals;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");

    const std::string damaged = kGga.substr(0, kGga.size() - 2) + "00";
    pty->write_text(kRmc.substr(0, 20));  // one sentence in two reads
    pump_for(50);
    pty->write_text(kRmc.substr(20) + "\r\n" + damaged + "\r\n" + std::string(5000, 'x') + "\r\n" + kGga + "\r\n" +
                    kGsa + "\r\n");
    ASSERT_TRUE(pump_until([&] { return signals.count("GpsOrignalUpdate") == 3; }));
    pump_for(100);
    EXPECT_EQ(args_of(signals, "GpsOrignalUpdate"),
              (std::vector<std::string>{quoted(kRmc), quoted(kGga), quoted(kGsa)}));
    ASSERT_EQ(signals.count("GpsParseredUpdate"), 2u);
    EXPECT_EQ(signals.of("GpsParseredUpdate")[1].args, std::string("(") + kRecord + ",)");
    EXPECT_EQ(signals.count("GpsSyncTime"), 1u);
    EXPECT_NE(complaints.text().find(link + ":2: bad checksum"), std::string::npos) << complaints.text();
    EXPECT_NE(complaints.text().find("gnss: " + link + ": line over 4096 bytes dropped"), std::string::npos);
    EXPECT_NE(printed.take().find("gnss: reading NMEA from " + link + " at 9600 baud"), std::string::npos);

    // The receiver goes away: said once; a new one under the same name is read within the retry interval.
    pty.reset();
    ASSERT_TRUE(pump_until([&] { return printed.take().find("gnss: " + link + " closed") != std::string::npos; }));
    pty = std::make_unique<Pty>();
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(pty->slave.c_str(), link.c_str()), 0);
    ASSERT_TRUE(pump_until([&] { return printed.take().find(link + " open") != std::string::npos; }, 3000));
    pty->write_text(kGsa + "\r\n");
    EXPECT_TRUE(pump_until([&] { return signals.count("GpsOrignalUpdate") == 4; }));
}

// The test's modem: answers each command line ("...\r") with the scripted bytes, in order of arrival.
class ModemPlayer {
public:
    ModemPlayer(int master, std::map<std::string, std::string> script) : master_(master), script_(std::move(script)) {
        thread_ = std::thread([this] { run(); });
    }
    ~ModemPlayer() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    // Whether a command arrived while the modem was still working on an earlier one.
    std::atomic<bool> overlapped{false};

private:
    void run() {
        std::string partial;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            char c = 0;
            if (read(master_, &c, 1) != 1) return;
            if (c != '\r') {
                partial.push_back(c);
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(partial);
            }
            const std::string reply = script_[partial];
            partial.clear();
            if (reply.rfind("slow:", 0) == 0) {
                pollfd q{master_, POLLIN, 0};
                if (poll(&q, 1, 200) == 1) overlapped = true;
                write_all(reply.substr(5));
            } else {
                write_all(reply);
            }
        }
    }
    void write_all(const std::string &s) const { (void)!write(master_, s.data(), s.size()); }

    int master_;
    std::map<std::string, std::string> script_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> commands_;
};

std::vector<std::string> g_urcs;
void on_urc(KyAt *, const gchar *urc, const gchar *sms, gpointer) {
    g_urcs.push_back(std::string(urc) + "|" + sms);
}

TEST(SimDevices, AModemAnswersOneCommandAtATimeWithItsUrcsEchoErrorsAndTimeOuts) {
    Pty pty;
    tbox::sim::Options options;
    options.modem = pty.slave;
    options.modem_timeout_ms = 500;
    ModemPlayer modem(pty.master, {
                                      {"ATE1", "ATE1\r\r\nOK\r\n"},
                                      {"ATI", "ATI\r\r\nQuectel\r\nEC20F\r\nRevision: EC20X\r\n\r\nOK\r\n"},
                                      {"at+csq", "at+csq\r\r\n+CSQ: 17,99\r\n\r\n+CMTI: \"SM\",3\r\n\r\nOK\r\n"},
                                      {"ATE0", "ATE0\r\r\nOK\r\n"},
                                      {"AT+CPIN?", "\r\n+CREG: 5\r\n+CPIN: READY\r\n\r\nOK\r\n"},
                                      {"AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
                                      {"AT+QADC=9", "\r\n+CME ERROR: 50\r\n"},
                                      {"AT+CMGS=1", "\r\n+CMS ERROR: 304\r\n"},
                                      {"AT+CFUN=9", "\r\nERROR\r\n"},
                                      {"AT+SLOW", "slow:\r\n+SLOW: 1\r\n+SLOW: 2\r\n\r\nOK\r\n"},
                                      {"AT", "\r\nOK\r\n"},
                                  });
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    ASSERT_EQ(InitAtInterface(on_urc), 0);
    char buf[256] = {0};
    unsigned char csq = 0;
    EXPECT_EQ(SendAT("ATE1", "", 0, buf), 0);
    EXPECT_STREQ(buf, "OK");
    EXPECT_EQ(SendAT("ATI", "", 0, buf), 0);
    EXPECT_STREQ(buf, "Quectel\nEC20F\nRevision: EC20X") << "the echo is dropped";
    EXPECT_EQ(GetModemCSQ(&csq), 0);
    EXPECT_EQ(csq, 17);
    EXPECT_EQ(SendAT("ATE0", "", 0, buf), 0);
    EXPECT_EQ(SendAT("AT+CPIN?", "+CPIN:", 1, buf), 0);
    EXPECT_STREQ(buf, "READY");
    EXPECT_EQ(SendAT("AT+CREG?", "+CREG:", 1, buf), 0);
    EXPECT_STREQ(buf, "0,1") << "its own command's answer, not a URC";
    EXPECT_EQ(ReadADC(9, buf), 50);
    EXPECT_STREQ(buf, "+CME ERROR: 50");
    EXPECT_EQ(SendAT("AT+CMGS=1", "", 0, buf), 304);
    EXPECT_EQ(SendAT("AT+CFUN=9", "", 0, buf), -1);
    EXPECT_STREQ(buf, "ERROR");
    EXPECT_EQ(SendAT("AT+HANG", "", 0, buf), TBOX_ERR_DBUS) << "no answer within --modem-timeout";

    // Two callers at once: the second command waits for the first one's final result.
    int slow = -99;
    std::thread first([&] {
        char answer[64] = {0};
        slow = SendAT("AT+SLOW", "+SLOW:", 1, answer);
        EXPECT_STREQ(answer, "1");
    });
    g_usleep(50000);
    EXPECT_EQ(SendAT("AT", "", 0, buf), 0);
    first.join();
    EXPECT_EQ(slow, 0);
    EXPECT_FALSE(modem.overlapped);
    EXPECT_EQ(modem.commands(),
              (std::vector<std::string>{"ATE1", "ATI", "at+csq", "ATE0", "AT+CPIN?", "AT+CREG?", "AT+QADC=9",
                                        "AT+CMGS=1", "AT+CFUN=9", "AT+HANG", "AT+SLOW", "AT"}));

    // Said unasked: broadcast, a message's text with its header.
    pty.write_text("\r\nRING\r\n\r\n+CMT: \"+8613800000000\",,\"26/03/23,10:15:00+32\"\r\nhello\r\n");
    ASSERT_TRUE(pump_until([] { return g_urcs.size() == 4; }));
    EXPECT_EQ(g_urcs, (std::vector<std::string>{"+CMTI: \"SM\",3|", "+CREG: 5|", "RING|",
                                                "+CMT: \"+8613800000000\",,\"26/03/23,10:15:00+32\"|hello"}));
}

// Starts a program with its output in `out`; it dies with the test process (SIGTERM, so gpsfake
// takes its gpsd with it).
GPid spawn(const std::vector<std::string> &words, const std::string &out) {
    std::vector<gchar *> argv;
    for (const auto &w : words) argv.push_back(const_cast<gchar *>(w.c_str()));
    argv.push_back(nullptr);
    GPid pid = 0;
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_TRUE(g_spawn_async(
        nullptr, argv.data(), nullptr, static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
        [](gpointer data) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(GPOINTER_TO_INT(data), 1);
            dup2(GPOINTER_TO_INT(data), 2);
        },
        GINT_TO_POINTER(fd), &pid, nullptr));
    close(fd);
    return pid;
}

// Asks first (gpsfake then ends its gpsd), kills after 5 s.
void stop(GPid pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        g_usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(SimDevices, ARunningGpsdGivesTheSameSignalsAndItsEndIsSaid) {
    if (g_autofree gchar *gpsfake = g_find_program_in_path("gpsfake"); gpsfake == nullptr)
        GTEST_SKIP() << "gpsfake (gpsd-clients) is not installed";
    TempDir dir;
    tbox::test::put(dir / "drive.nmea", kRmc + "\r\n" + kGga + "\r\n");
    const std::string port = std::to_string(free_port());
    SignalRecorder signals;
    const GPid simd =
        spawn({TBOX_SIMD_PATH, "--address", tbox::test::private_bus_address(), "--gpsd", "127.0.0.1:" + port},
              dir / "simd.out");
    // gpsfake's gpsd plays the log over and over, watched or not, until gpsfake ends.
    const GPid fake = spawn({"gpsfake", "-q", "-n", "-c", "0.2", "-P", port, dir / "drive.nmea"}, dir / "fake.out");
    const bool got = pump_until([&] { return signals.count("GpsParseredUpdate") >= 3; }, 20000);
    stop(fake);
    const bool said =
        pump_until([&] { return tbox::test::get(dir / "simd.out").find("closed") != std::string::npos; }, 5000);
    stop(simd);
    const std::string out = tbox::test::get(dir / "simd.out");
    ASSERT_TRUE(got) << out << tbox::test::get(dir / "fake.out");
    EXPECT_TRUE(said) << out;
    EXPECT_NE(out.find("gnss: reading NMEA from gpsd at 127.0.0.1:" + port), std::string::npos) << out;
    EXPECT_NE(out.find("gnss: gpsd 127.0.0.1:" + port + " closed"), std::string::npos) << out;
    for (const auto &s : signals.of("GpsOrignalUpdate")) {
        EXPECT_TRUE(s.args == quoted(kRmc) || s.args == quoted(kGga)) << s.args;
    }
    EXPECT_EQ(signals.of("GpsParseredUpdate").back().args, std::string("(") + kRecord + ",)");
}

TEST(SimDevices, DeviceOptionsAreListedAndCheckedBeforeAnythingStarts) {
    auto run = [](std::vector<std::string> words) {
        words.insert(words.begin(), TBOX_SIMD_PATH);
        std::vector<gchar *> argv;
        for (auto &w : words) argv.push_back(const_cast<gchar *>(w.c_str()));
        argv.push_back(nullptr);
        gchar *out = nullptr, *err = nullptr;
        gint status = 0;
        g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status, nullptr);
        const std::string text = std::string(out) + err;
        g_free(out);
        g_free(err);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text);
    };
    const auto help = run({"--help"});
    for (const char *option :
         {"--gnss-device=DEVICE[:BAUD]", "--gpsd=HOST[:PORT]", "--modem=DEVICE[:BAUD]", "--modem-timeout=MS"}) {
        EXPECT_NE(help.second.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(
        run({"--nmea", "a.nmea", "--gpsd", "localhost"}),
        std::make_pair(2, std::string("tbox-simd: --nmea, --gnss-device and --gpsd exclude each other: give one\n")));
    EXPECT_EQ(run({"--gnss-device", "/dev/ttyACM0:19200", "--gpsd", "localhost"}).first, 2);
    EXPECT_EQ(run({"--modem", "/dev/ttyUSB2:19200"}),
              std::make_pair(2, std::string("tbox-simd: --modem: unsupported speed in \"/dev/ttyUSB2:19200\" (9600, "
                                            "38400, 57600, 115200, 460800 ... 4000000)\n")));
    EXPECT_EQ(run({"--modem", "/dev/ttyUSB2", "--modem-timeout", "0"}).first, 2);
}

}  // namespace
