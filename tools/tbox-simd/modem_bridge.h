// ky.at in front of a real modem (--modem): each SendAtCmd goes to the modem's AT port, one at a time
// in order of arrival, and its answer comes back in the form the built-in answers have; what the modem
// says unasked goes out as UrcBroadcast.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial_line.h"
#include "sim.h"

namespace tbox::sim {

// The end of one command: an answer (result 0 and the information lines, or "OK" when there are none;
// the error's number and its line for +CME/+CMS ERROR; -1 and the line for ERROR and the dial failures),
// or, when `failure` is set, no answer at all (time-out, no modem) and `text` says why.
struct ModemAnswer {
    int result = 0;
    std::string text;
    std::string failure;  // "" for an answer, else the D-Bus error's last name: "Timeout", "NoModem"
};

class ModemBridge {
public:
    using Done = std::function<void(const ModemAnswer &)>;
    using Urc = std::function<void(const std::string &urc, const std::string &sms)>;

    // Opens the modem the options name (--modem, --modem-timeout).
    ModemBridge(Hub &hub, Urc urc);
    ~ModemBridge();
    ModemBridge(const ModemBridge &) = delete;
    ModemBridge &operator=(const ModemBridge &) = delete;

    // Queues `cmd`; `done` runs once, with its answer. `prefix` keeps the answer lines that begin with
    // it (all lines when none does), `lines` > 0 keeps at most that many.
    void send(const std::string &cmd, const std::string &prefix, int lines, Done done);

private:
    struct Command {
        std::string cmd, prefix;
        int lines;
        Done done;
    };

    void next();
    void on_line(const std::string &line);
    void finish(const ModemAnswer &answer);
    bool is_urc(const std::string &line) const;

    Hub &hub_;
    Urc urc_;
    std::deque<Command> queue_;  // the front one is on the modem when `busy_`
    bool busy_ = false;
    bool answered_ = false;  // a line other than the echo has come for the current command
    std::vector<std::string> answer_;
    std::string sms_header_;  // a +CMT:/+CDS: line whose text follows on the next line
    unsigned timer_ = 0;
    Timers timers_;
    std::unique_ptr<SerialLines> port_;
};

}  // namespace tbox::sim
