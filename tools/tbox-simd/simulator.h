// The simulator: one bus connection, the twelve platform services and the two queue services, the
// scenario player and the control interface ky.sim. Everything runs in the thread-default main
// context of the thread that calls start(); only the journal is touched from other threads.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scenario.h"
#include "sim.h"

namespace tbox::sim {

class Simulator : public Hub {
public:
    explicit Simulator(Options options);
    ~Simulator() override;
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Connects to the bus, reads the scenario, exports every service and asks for the names.
    // Returns false with the reason when it cannot even start. `done` runs later, once: with ""
    // when every name is owned and the services run, or with the reason when that failed.
    bool start(std::string &error, std::function<void(const std::string &)> done);

    // Runs one event written as "net.down 1". Returns "" or why it was refused.
    std::string inject(const std::string &text);
    // Every event, "name params  - help".
    std::vector<std::string> event_list() const;

    const Options &options() const override { return options_; }
    Journal &journal() override { return *journal_; }
    void say(const std::string &text) override;
    void complain(const std::string &text) override;

private:
    struct Names;
    std::string run(const std::string &name, const std::vector<std::string> &args);
    const EventSpec *find(const std::string &name, std::string &error) const;
    std::string load_scenario();
    void became_ready();
    void play_next();

    Options options_;
    // Shared with the bus connection's filter, which may still run in GDBus's thread after removal.
    std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
    GDBusConnection *connection_ = nullptr;
    unsigned filter_ = 0;
    std::vector<std::unique_ptr<Service>> services_;
    // The verbs every bus service takes (emit, property), by service prefix.
    std::map<std::string, std::vector<EventSpec>> generic_;
    void *control_ = nullptr;  // the ky.sim skeleton
    std::vector<unsigned> owners_;
    size_t owned_ = 0;
    bool finished_ = false;
    std::function<void(const std::string &)> done_;
    std::vector<ScenarioEvent> scenario_;
    size_t next_event_ = 0;
    gint64 scenario_start_us_ = 0;
    Timers timers_;
};

}  // namespace tbox::sim
