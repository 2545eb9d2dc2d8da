// ky.at: a modem that answers the AT client's commands and a few common ones, broadcasts URCs, and
// takes scripted answers for any command from the scenario.
#include <tbox/at_gdbus.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "modem_bridge.h"
#include "sim.h"

namespace tbox::sim {
namespace {

// "+CME ERROR: 4": operation not supported; "+CME ERROR: 50": incorrect parameters.
constexpr int kNotSupported = 4;
constexpr int kBadParameter = 50;

std::string upper(const std::string &s) {
    std::string out = s;
    for (char &c : out) c = g_ascii_toupper(c);
    return out;
}

bool starts_with(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

class AtService : public Service {
public:
    explicit AtService(Hub &hub) : Service(hub), skeleton_(ky_at_skeleton_new()) {
        g_signal_connect(skeleton_.get(), "handle-send-at-cmd",
                         handler(+[](KyAt *o, GDBusMethodInvocation *inv, const gchar *cmd, const gchar *prefix,
                                     gint lines, gpointer self) -> gboolean {
                             static_cast<AtService *>(self)->send_at_cmd(o, inv, cmd, prefix, lines);
                             return TRUE;
                         }),
                         this);
        on("urc", "urc:s sms:s?", "broadcasts UrcBroadcast(urc, sms)", [this](const Args &a) {
            ky_at_emit_urc_broadcast(skeleton_.get(), a.text(0).c_str(), a.has(1) ? a.text(1).c_str() : "");
            return "";
        });
        on("csq", "rssi:i ber:i", "sets the signal quality that AT+CSQ reports (rssi 0-31 or 99)",
           [this](const Args &a) {
               if ((a.integer(0) < 0 || a.integer(0) > 31) && a.integer(0) != 99) return "rssi must be 0-31 or 99";
               rssi_ = a.integer(0);
               ber_ = a.integer(1);
               return "";
           });
        on("answer", "command:s result:i text:s",
           "answers every later `command` (any case) with result and text instead of the built-in answer",
           [this](const Args &a) {
               scripted_[upper(a.text(0))] = {a.integer(1), a.text(2)};
               return "";
           });
    }
    const char *prefix() const override { return "at"; }
    const char *bus_name() const override { return "ky.at"; }
    const char *object_path() const override { return "/ky/at"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

    std::string start() override {
        const auto &o = hub_.options();
        if (!o.modem.empty()) {
            modem_ = std::make_unique<ModemBridge>(hub_, [this](const std::string &urc, const std::string &sms) {
                hub_.say("urc \"" + urc + "\"");
                ky_at_emit_urc_broadcast(skeleton_.get(), urc.c_str(), sms.c_str());
            });
        }
        if (o.urcs.empty()) return "";
        auto broadcast = [this] {
            for (const auto &urc : hub_.options().urcs) ky_at_emit_urc_broadcast(skeleton_.get(), urc.c_str(), "");
            return hub_.options().urc_interval_ms > 0;
        };
        if (o.urc_interval_ms > 0) {
            timers_.every(static_cast<unsigned>(o.urc_interval_ms), broadcast);
        } else {
            timers_.after(0, broadcast);
        }
        return "";
    }

private:
    struct Answer {
        int result;
        std::string text;
    };

    Answer answer(const std::string &raw) {
        const std::string cmd = upper(raw);
        const auto scripted = scripted_.find(cmd);
        if (scripted != scripted_.end()) return scripted->second;
        if (cmd == "AT+QCCID") return {0, "+QCCID: " + iccid_};
        if (cmd == "AT+GSN" || cmd == "AT+CGSN") return {0, imei_};
        if (cmd == "AT+CIMI") return {0, imsi_};
        if (cmd == "AT+CSQ") return {0, "+CSQ: " + std::to_string(rssi_) + "," + std::to_string(ber_)};
        if (starts_with(cmd, "AT+QADC=")) {
            char *end = nullptr;
            const long channel = std::strtol(cmd.c_str() + 8, &end, 10);
            if (end == cmd.c_str() + 8 || *end != '\0' || channel < 0 || channel > 3) {
                return {kBadParameter, "+CME ERROR: " + std::to_string(kBadParameter)};
            }
            return {0, "+QADC: 1," + std::to_string(1200 + 100 * channel)};
        }
        if (cmd == "AT+QGPSCFG=\"OUTPORT\"") return {0, "+QGPSCFG: \"outport\",\"uartdebug\""};
        if (starts_with(cmd, "AT+QGPSCFG=\"GLONASSNMEATYPE\",") ||
            starts_with(cmd, "AT+QGPSCFG=\"GALILEONMEATYPE\",") || starts_with(cmd, "AT+QGPSCFG=\"BEIDOUNMEATYPE\",") ||
            cmd == "AT" || cmd == "ATE0" || cmd == "ATE1") {
            return {0, "OK"};
        }
        if (cmd == "ATI") return {0, "Quectel\nEC20F\nRevision: EC20CEFAGR06A15M4G"};
        if (cmd == "AT+CGMR") return {0, "EC20CEFAGR06A15M4G"};
        if (cmd == "AT+CPIN?") return {0, "+CPIN: READY"};
        if (cmd == "AT+CREG?") return {0, "+CREG: 0,1"};
        if (cmd == "AT+CEREG?") return {0, "+CEREG: 0,1"};
        if (cmd == "AT+COPS?") return {0, "+COPS: 0,0,\"CHINA MOBILE\",7"};
        if (cmd == "AT+QNWINFO") return {0, "+QNWINFO: \"FDD LTE\",\"46000\",\"LTE BAND 3\",1650"};
        if (cmd == "AT+CCLK?") {
            GDateTime *now = g_date_time_new_now_utc();
            gchar *text = g_date_time_format(now, "+CCLK: \"%y/%m/%d,%H:%M:%S+00\"");
            Answer a{0, text};
            g_free(text);
            g_date_time_unref(now);
            return a;
        }
        return {kNotSupported, "+CME ERROR: " + std::to_string(kNotSupported)};
    }

    void send_at_cmd(KyAt *object, GDBusMethodInvocation *invocation, const gchar *cmd, const gchar *prefix,
                     gint lines) {
        if (modem_ != nullptr) {
            modem_->send(
                cmd, prefix, lines,
                [this, object, invocation, c = std::string(cmd), p = std::string(prefix), lines](const ModemAnswer &m) {
                    if (!m.failure.empty()) {
                        hub_.say(c + " -> " + m.text);
                        refuse(invocation, ("ky.at.Error." + m.failure).c_str(), m.text);
                        return;
                    }
                    complete(object, invocation, c.c_str(), p.c_str(), lines, {m.result, m.text});
                });
            return;
        }
        complete(object, invocation, cmd, prefix, lines, answer(cmd));
    }

    void complete(KyAt *object, GDBusMethodInvocation *invocation, const gchar *cmd, const gchar *prefix, gint lines,
                  Answer a) {
        hub_.say(std::string(cmd) + " (prefix \"" + prefix + "\", " + std::to_string(lines) + " lines) -> " +
                 std::to_string(a.result) + " \"" + a.text + "\"");
        // The service hands back the text after the requested prefix, as the modem's answer line.
        if (*prefix != '\0' && starts_with(a.text, prefix)) {
            a.text.erase(0, std::strlen(prefix));
            if (!a.text.empty() && a.text[0] == ':') a.text.erase(0, 1);
            if (!a.text.empty() && a.text[0] == ' ') a.text.erase(0, 1);
        }
        ky_at_complete_send_at_cmd(object, invocation, a.result, a.text.c_str());
    }

    GObjectPtr<KyAt> skeleton_;
    std::string iccid_ = "89860121801097564807";
    std::string imei_ = "867698041234565";
    std::string imsi_ = "460011234567890";
    int rssi_ = 23;
    int ber_ = 99;
    std::map<std::string, Answer> scripted_;
    std::unique_ptr<ModemBridge> modem_;  // set with --modem
};

}  // namespace

std::unique_ptr<Service> make_at_service(Hub &hub) {
    return std::make_unique<AtService>(hub);
}

}  // namespace tbox::sim
