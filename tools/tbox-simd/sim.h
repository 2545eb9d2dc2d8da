// The parts every simulated service shares: the simulator's options, the journal of what it received,
// typed event arguments, timers on the simulator's main context, and the Service base class.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tbox::sim {

struct Options {
    std::string address;        // bus address; empty = the system bus
    std::string state_dir;      // where persistent state lives; empty = memory only
    std::string nmea;           // NMEA log replayed at start; empty = none until gnss.start
    std::string scenario;       // scenario file played at start; empty = none
    double speed = 1.0;         // replay speed factor of the NMEA log and of the scenario
    bool queues = false;        // serve the message queues with keys 1 and 2
    int gb_interval_ms = 1000;  // period of GbRealData records; 0 = none
    int upgrade_ms = 3000;      // how long an upgrade reports status 1
    int queue_poll_ms = 5;      // how often the queue services look at their queues
    std::vector<std::string> urcs;
    int urc_interval_ms = 0;
    std::string gnss_device;  // NMEA from this serial receiver instead of a log; empty = none
    int gnss_baud = 9600;
    std::string gpsd;   // NMEA from gpsd at HOST[:PORT]; empty = none
    std::string modem;  // ky.at answers from the modem on this AT port; empty = built-in answers
    int modem_baud = 115200;
    int modem_timeout_ms = 5000;  // how long a command may wait for the modem's final result
};

// What the simulator received: method calls, queue messages, refused input; the latest kLimit
// records. Thread-safe.
class Journal {
public:
    static constexpr size_t kLimit = 10000;
    void add(std::string entry);
    // Entries that begin with `prefix`, in order of arrival.
    std::vector<std::string> matching(const std::string &prefix) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::deque<std::string> entries_;
};

// One event's arguments, checked against the event's parameter list before the event runs.
class Args {
public:
    explicit Args(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {}
    size_t size() const { return tokens_.size(); }
    bool has(size_t i) const { return i < tokens_.size(); }
    const std::string &text(size_t i) const { return tokens_.at(i); }
    int integer(size_t i) const;
    double real(size_t i) const;
    bool boolean(size_t i) const;
    std::vector<uint8_t> bytes(size_t i) const;

private:
    std::vector<std::string> tokens_;
};

// Token conversions; each returns false for text that is not of its kind.
bool parse_int(const std::string &text, int &out);  // decimal or 0x hex, 32-bit signed
bool parse_real(const std::string &text, double &out);
bool parse_bool(const std::string &text, bool &out);                 // 0/1/true/false/on/off
bool parse_hex(const std::string &text, std::vector<uint8_t> &out);  // "A1B2..." or "-" for none
std::string to_hex(const uint8_t *data, size_t size);

// Checks tokens against a parameter list such as "profile:i ip:s?" (i integer, d real, b boolean,
// x hex bytes, s text; a trailing ? makes the parameter and those after it optional).
// Returns "" or what is wrong.
std::string check_args(const std::string &params, const std::vector<std::string> &tokens);

// Timers on the thread-default main context of the thread that created the Timers object.
class Timers {
public:
    Timers();
    ~Timers();
    Timers(const Timers &) = delete;
    Timers &operator=(const Timers &) = delete;
    // Runs fn once after ms milliseconds; returns a handle for cancel.
    unsigned after(unsigned ms, std::function<void()> fn);
    // Runs fn every ms milliseconds while it returns true.
    unsigned every(unsigned ms, std::function<bool()> fn);
    void cancel(unsigned handle);
    void cancel_all();

private:
    unsigned add(unsigned ms, std::function<bool()> fn);
    GMainContext *context_;
    std::vector<std::pair<unsigned, GSource *>> sources_;
};

// What a service may use of the simulator.
class Hub {
public:
    virtual ~Hub() = default;
    virtual const Options &options() const = 0;
    virtual Journal &journal() = 0;
    // A line on standard output, "tbox-simd: " + text.
    virtual void say(const std::string &text) = 0;
    // A line on standard error, "tbox-simd: " + text.
    virtual void complain(const std::string &text) = 0;
};

// An event a service understands: "<prefix>.<verb> args...".
struct EventSpec {
    std::string verb;
    std::string params;
    std::string help;
    std::function<std::string(const Args &)> run;  // returns "" or why the event was refused
    // Checks what the parameter list cannot (a signal's name, a value's type) when a scenario is read;
    // returns "" or what is wrong. Empty for most events.
    std::function<std::string(const Args &)> check = nullptr;
};

class Service {
public:
    explicit Service(Hub &hub) : hub_(hub) {}
    virtual ~Service() = default;
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    virtual const char *prefix() const = 0;  // of its events, e.g. "net"
    // The bus name and object path it serves, and its skeleton; null for the queue services.
    virtual const char *bus_name() const { return nullptr; }
    virtual const char *object_path() const { return nullptr; }
    virtual GDBusInterfaceSkeleton *skeleton() { return nullptr; }
    // Called once every name is owned: start timers, open queues. Returns "" or what failed.
    virtual std::string start() { return ""; }
    const std::vector<EventSpec> &events() const { return events_; }

protected:
    void on(std::string verb, std::string params, std::string help, std::function<std::string(const Args &)> run) {
        events_.push_back({std::move(verb), std::move(params), std::move(help), std::move(run), nullptr});
    }
    Hub &hub_;
    Timers timers_;

private:
    std::vector<EventSpec> events_;
};

// A function (or a captureless lambda with unary +) as a GObject signal handler; unlike the G_CALLBACK
// macro it takes lambdas whose bodies hold commas.
template <typename R, typename... A>
GCallback handler(R (*fn)(A...)) {
    return reinterpret_cast<GCallback>(fn);
}

// Answers a method call with a D-Bus error "ky.<x>.Error.<name>" and the message.
gboolean refuse(GDBusMethodInvocation *invocation, const char *error_name, const std::string &message);

// Holds a GObject reference.
template <typename T>
struct GObjectUnref {
    void operator()(T *object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

// The services (one source file each).
std::unique_ptr<Service> make_at_service(Hub &hub);
std::unique_ptr<Service> make_bt_service(Hub &hub);
std::unique_ptr<Service> make_ecall_service(Hub &hub);
std::unique_ptr<Service> make_gb_service(Hub &hub);
std::unique_ptr<Service> make_gnss_service(Hub &hub);
std::unique_ptr<Service> make_gsensor_service(Hub &hub);
std::unique_ptr<Service> make_monitor_service(Hub &hub);
std::unique_ptr<Service> make_net_service(Hub &hub);
std::unique_ptr<Service> make_param_service(Hub &hub);
std::unique_ptr<Service> make_pm_service(Hub &hub);
std::unique_ptr<Service> make_update_service(Hub &hub);
std::unique_ptr<Service> make_wifi_service(Hub &hub);
std::unique_ptr<Service> make_mcu_queue_service(Hub &hub);
std::unique_ptr<Service> make_config_queue_service(Hub &hub);

}  // namespace tbox::sim
