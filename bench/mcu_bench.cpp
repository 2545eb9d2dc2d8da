// MCU channel against raw System V calls: SendMcuMsg -> service thread -> GetMcuMsg (blocking) beside
// msgsnd -> the same service thread -> msgrcv, in a private IPC namespace (run as root).
//
// Latency: one message at a time, send then wait for it to come back. Throughput: a sender thread
// keeps the queue busy (retrying when full, since sends never block) while the main thread receives.
// Rounds alternate SDK and raw so that load from other processes hits both alike. Ratio = SDK time /
// raw time (median of the per-round ratios). Three blocks, each with its target: debug lines filtered by
// setlogmask (1.05); the default mask with nobody listening at /dev/log (1.5); the default mask with a
// syslog receiver (2.5). The program mounts a private /dev in a mount namespace of its own, so the
// host's /dev/log is never touched, and for the last block reads /dev/log itself, as a syslog daemon would.
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tbox/mcu.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kType = 0x0201;
constexpr long kStop = 0x3FFF;  // never sent by SendMcuMsg
constexpr int16_t kPayloadLen = 64;
constexpr int kLatencyMessages = 2000;
constexpr int kThroughputMessages = 5000;
int g_rounds = 41;  // mcu_bench [rounds]
constexpr double kFilteredTarget = 1.05;
constexpr double kSilentTarget = 1.5;
constexpr double kReceiverTarget = 2.5;

struct Record {
    long mtype;
    unsigned char text[MCU_MSG_MAX_TEXT_SIZE];
};

int g_serviceQueue = -1;
int g_appQueue = -1;
int g_keyId = -1;
unsigned char g_payload[kPayloadLen];

// The MCU message service, reduced to what the exchange needs: everything it takes it hands to the
// application queue (as if the application had subscribed to it).
void serve() {
    Record r;
    for (;;) {
        const ssize_t n = msgrcv(g_serviceQueue, &r, sizeof r.text, 0, 0);
        if (n < 0 || r.mtype == kStop) return;
        while (msgsnd(g_appQueue, &r, static_cast<size_t>(n), 0) != 0) {
        }
    }
}

struct Exchange {
    virtual ~Exchange() = default;
    virtual bool send() = 0;  // false when the service queue is full
    virtual void receive() = 0;
    const char *name;
};

struct Sdk : Exchange {
    McuMsg msg{};
    Sdk() { name = "SDK"; }
    bool send() override { return SendMcuMsg(kType, kPayloadLen, 1, g_payload) == 0; }
    void receive() override {
        if (GetMcuMsg(g_keyId, &msg, -1) != kPayloadLen + 8) std::abort();
    }
};

struct Raw : Exchange {
    Record out{}, in{};
    Raw() { name = "raw"; }
    bool send() override {
        out.mtype = kType;
        const uint32_t type = kType;
        const uint16_t len = kPayloadLen;
        std::memcpy(out.text, &type, 4);
        std::memcpy(out.text + 4, &len, 2);
        out.text[6] = 0x81;
        out.text[7] = 0;
        std::memcpy(out.text + 8, g_payload, kPayloadLen);
        return msgsnd(g_serviceQueue, &out, kPayloadLen + 8, IPC_NOWAIT) == 0;
    }
    void receive() override {
        if (msgrcv(g_appQueue, &in, sizeof in.text, 0, 0) != kPayloadLen + 8) std::abort();
    }
};

std::atomic<long> g_syslogLines{0};

// An empty /dev of our own: nobody listens at /dev/log. False if the mount namespace cannot be had.
bool enter_private_dev() {
    return unshare(CLONE_NEWNS) == 0 && mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") == 0;
}

// A syslog receiver at the private /dev/log: counts the datagrams and drops them.
bool start_syslog_receiver() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return false;
    std::thread([fd] {
        char line[2048];
        while (recv(fd, line, sizeof line, 0) >= 0) ++g_syslogLines;
    }).detach();
    return true;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Mean round trip in microseconds.
double latency(Exchange &x) {
    const auto start = Clock::now();
    for (int i = 0; i < kLatencyMessages; ++i) {
        while (!x.send()) sched_yield();
        x.receive();
    }
    return seconds_since(start) * 1e6 / kLatencyMessages;
}

// Messages per second.
double throughput(Exchange &x) {
    const auto start = Clock::now();
    std::thread sender([&x] {
        for (int i = 0; i < kThroughputMessages; ++i) {
            while (!x.send()) sched_yield();
        }
    });
    for (int i = 0; i < kThroughputMessages; ++i) x.receive();
    sender.join();
    return kThroughputMessages / seconds_since(start);
}

void report(const char *what, const char *unit, double sdk, double raw, double ratio, double target) {
    std::printf("%-22s SDK %10.1f %-6s raw %10.1f %-6s ratio %.3f (target <= %.2f) %s\n", what, sdk, unit, raw, unit,
                ratio, target, ratio <= target ? "ok" : "MISSED");
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Many short rounds, SDK and raw back to back in alternating order, so both see the same load from
// other processes; the figures are medians, the ratio the median of the per-round ratios.
bool measure(const char *label, double target) {
    Sdk sdk;
    Raw raw;
    std::vector<double> sdkLatency, rawLatency, latencyRatio, sdkRate, rawRate, rateRatio;
    for (int round = 0; round < g_rounds; ++round) {
        const bool sdkFirst = round % 2 == 0;
        double s = 0, r = 0;
        if (sdkFirst) s = latency(sdk);
        r = latency(raw);
        if (!sdkFirst) s = latency(sdk);
        sdkLatency.push_back(s);
        rawLatency.push_back(r);
        latencyRatio.push_back(s / r);
        if (sdkFirst) s = throughput(sdk);
        r = throughput(raw);
        if (!sdkFirst) s = throughput(sdk);
        sdkRate.push_back(s);
        rawRate.push_back(r);
        rateRatio.push_back(r / s);
    }
    std::printf("%s\n", label);
    const double lr = median(latencyRatio), rr = median(rateRatio);
    report("  round-trip latency", "us", median(sdkLatency), median(rawLatency), lr, target);
    report("  throughput", "msg/s", median(sdkRate), median(rawRate), rr, target);
    return lr <= target && rr <= target;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) g_rounds = std::max(1, std::atoi(argv[1]));
    if (unshare(CLONE_NEWIPC) != 0) {
        std::perror("mcu_bench: unshare(CLONE_NEWIPC) (run as root; the benchmark never touches host queues)");
        return 2;
    }
    if (!enter_private_dev()) {
        std::perror("mcu_bench: private /dev in a mount namespace of its own (run as root)");
        return 2;
    }
    g_serviceQueue = msgget(1, IPC_CREAT | IPC_EXCL | 0666);
    g_keyId = InitMcuMsg();
    g_appQueue = msgget(g_keyId, 0);
    if (g_serviceQueue == -1 || g_keyId <= 0 || g_appQueue == -1) {
        std::fprintf(stderr, "mcu_bench: cannot set up the queues\n");
        return 2;
    }
    for (int i = 0; i < kPayloadLen; ++i) g_payload[i] = static_cast<unsigned char>(i);
    std::thread service(serve);

    std::printf("MCU channel, %d-byte payload, medians of %d rounds (%d round trips, %d streamed messages each)\n",
                kPayloadLen, g_rounds, kLatencyMessages, kThroughputMessages);
    // Production systems filter debug lines; the channel logs three per exchange.
    setlogmask(LOG_UPTO(LOG_INFO));
    bool met = measure("debug lines filtered (setlogmask LOG_UPTO(LOG_INFO)):", kFilteredTarget);
    setlogmask(LOG_UPTO(LOG_DEBUG));
    met = measure("default mask, nobody listening at /dev/log:", kSilentTarget) && met;
    if (!start_syslog_receiver()) {
        std::fprintf(stderr, "mcu_bench: cannot bind the private /dev/log\n");
        return 2;
    }
    // The library retries a connection that found nobody after a pause: exchange until lines arrive.
    Sdk warmUp;
    for (int i = 0; i < 100000 && g_syslogLines.load() == 0; ++i) {
        while (!warmUp.send()) sched_yield();
        warmUp.receive();
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const long before = g_syslogLines.load();
    met = measure("default mask, a syslog receiver at /dev/log (three lines per exchange):", kReceiverTarget) && met;
    std::printf(
        "  syslog lines received: %ld (%.2f per exchange)\n", g_syslogLines.load() - before,
        static_cast<double>(g_syslogLines.load() - before) / (g_rounds * (kLatencyMessages + kThroughputMessages)));

    const long stop = kStop;
    msgsnd(g_serviceQueue, &stop, 0, 0);
    service.join();
    DestroyMcuMsg(g_keyId);
    msgctl(g_serviceQueue, IPC_RMID, nullptr);
    return met ? 0 : 1;
}
