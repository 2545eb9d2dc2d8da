#include "modem_bridge.h"

#include <glib.h>

#include <cstdlib>

namespace tbox::sim {
namespace {

// Lines a modem sends unasked. A tag also answers the command of its own name ("AT+CREG?" gets
// "+CREG: 0,1"), so during that command it is an answer line.
constexpr const char *kUrcTags[] = {
    "RING",    "+CRING:", "+CMTI:", "+CMT:",  "+CDS:",  "+CDSI:",  "+CBM:",   "+CLIP:", "+CREG:", "+CGREG:",
    "+CEREG:", "+CGEV:",  "+CUSD:", "+CPIN:", "+QIND:", "+QIURC:", "+QUSIM:", "+CTZV:", "+CTZE:", "+QSTK:"};
// URCs whose message text follows on a line of its own.
constexpr const char *kTwoLineUrcs[] = {"+CMT:", "+CDS:"};
// Final results that end a command without success.
constexpr const char *kFailures[] = {"ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"};

bool starts_with(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::string upper(const std::string &s) {
    std::string out = s;
    for (char &c : out) c = g_ascii_toupper(c);
    return out;
}

// The error number of "+CME ERROR: 10", or -1 for a text instead of a number.
int error_number(const std::string &line) {
    const char *text = line.c_str() + std::string("+CME ERROR:").size();
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && n >= 0 && n < 100000 ? static_cast<int>(n) : -1;
}

}  // namespace

ModemBridge::ModemBridge(Hub &hub, Urc urc) : hub_(hub), urc_(std::move(urc)) {
    const Options &o = hub.options();
    hub.say("at: answering from the modem on " + o.modem + " at " + std::to_string(o.modem_baud) + " baud");
    port_ = std::make_unique<SerialLines>(
        hub, "at", o.modem, o.modem_baud, [this](const std::string &line) { on_line(line); },
        [this](bool open) {
            if (!open && busy_) finish({-1, "the modem went away", "NoModem"});
        });
    port_->start();
}

ModemBridge::~ModemBridge() {
    timers_.cancel_all();
    // Callers waiting on a command hear that it ends with the simulator.
    while (!queue_.empty()) {
        Command c = std::move(queue_.front());
        queue_.pop_front();
        c.done({-1, "the simulator stopped", "NoModem"});
    }
}

void ModemBridge::send(const std::string &cmd, const std::string &prefix, int lines, Done done) {
    queue_.push_back({cmd, prefix, lines, std::move(done)});
    if (!busy_) next();
}

void ModemBridge::next() {
    while (!busy_ && !queue_.empty()) {
        const Command &c = queue_.front();
        if (!port_->is_open() || !port_->write(c.cmd + "\r")) {
            Command failed = std::move(queue_.front());
            queue_.pop_front();
            failed.done({-1, "no modem on " + port_->path(), "NoModem"});
            continue;
        }
        busy_ = true;
        answered_ = false;
        answer_.clear();
        const unsigned ms = static_cast<unsigned>(hub_.options().modem_timeout_ms);
        timer_ = timers_.after(ms, [this, ms] {
            timer_ = 0;
            hub_.complain("at: no answer to " + queue_.front().cmd + " within " + std::to_string(ms) + " ms");
            finish({-1, "no answer from the modem within " + std::to_string(ms) + " ms", "Timeout"});
        });
    }
}

bool ModemBridge::is_urc(const std::string &line) const {
    for (const char *tag : kUrcTags) {
        if (!starts_with(line, tag)) continue;
        if (!busy_) return true;
        // "+CREG:" answers "AT+CREG?" and "AT+CREG=?": its name without the colon follows "AT".
        const std::string name = std::string(tag).substr(0, std::string(tag).find(':'));
        return upper(queue_.front().cmd).rfind("AT" + name, 0) != 0;
    }
    return !busy_;
}

void ModemBridge::on_line(const std::string &line) {
    if (!sms_header_.empty()) {
        const std::string header = std::move(sms_header_);
        sms_header_.clear();
        urc_(header, line);
        return;
    }
    if (busy_ && !answered_ && line == queue_.front().cmd) return;  // the modem's echo
    if (is_urc(line)) {
        for (const char *tag : kTwoLineUrcs) {
            if (starts_with(line, tag)) {
                sms_header_ = line;
                return;
            }
        }
        urc_(line, "");
        return;
    }
    answered_ = true;
    if (line == "OK") {
        const Command &c = queue_.front();
        std::vector<std::string> kept;
        for (const auto &l : answer_) {
            if (!c.prefix.empty() && starts_with(l, c.prefix.c_str())) kept.push_back(l);
        }
        if (kept.empty()) kept = answer_;
        if (c.lines > 0 && kept.size() > static_cast<size_t>(c.lines)) kept.resize(static_cast<size_t>(c.lines));
        std::string text;
        for (const auto &l : kept) text += (text.empty() ? "" : "\n") + l;
        finish({0, text.empty() ? "OK" : text, ""});
        return;
    }
    if (starts_with(line, "+CME ERROR:") || starts_with(line, "+CMS ERROR:")) {
        finish({error_number(line), line, ""});
        return;
    }
    for (const char *failure : kFailures) {
        if (line == failure) {
            finish({-1, line, ""});
            return;
        }
    }
    answer_.push_back(line);
}

void ModemBridge::finish(const ModemAnswer &answer) {
    if (timer_ != 0) timers_.cancel(timer_);
    timer_ = 0;
    Command c = std::move(queue_.front());
    queue_.pop_front();
    busy_ = false;
    answer_.clear();
    c.done(answer);
    next();
}

}  // namespace tbox::sim
