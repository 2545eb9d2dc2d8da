#include "tbox/at.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/dbus_client.h"
#include "common/glib_ptr.h"
#include "common/log.h"
#include "common/text.h"
#include "tbox/errors.h"

KyAt *g_proxy = nullptr;

namespace {

constexpr size_t kCsqBufferSize = 12;
constexpr size_t kGpsBufferSize = 128;

int send_at(const char *cmd, const char *prefix, int responseLines, char *response, size_t capacity) {
    if (cmd == nullptr) return TBOX_ERR_NULL_ARG;
    if (!tbox::client::is_utf8(cmd) || (prefix != nullptr && !tbox::client::is_utf8(prefix))) {
        // D-Bus would carry a placeholder instead and the modem would run another command.
        TBOX_LOG(err, "send At error:%s is not UTF-8\n", tbox::client::is_utf8(cmd) ? "prefix" : "command");
        return TBOX_ERR_DBUS;
    }
    if (g_proxy == nullptr) {
        TBOX_LOG(err, "send At error:%s\n", "AT interface is not initialised (call InitAtInterface first)");
        return TBOX_ERR_DBUS;
    }
    gint result = 0;
    tbox::GCharOut answer;
    if (!tbox::client::call(TBOX_REPORT_LOG(err, "send At error:%s\n"), ky_at_call_send_at_cmd_sync, g_proxy, cmd,
                            prefix != nullptr ? prefix : "", responseLines, &result, answer.out())) {
        return TBOX_ERR_DBUS;
    }
    tbox::text::copy_cut(response, answer.get() != nullptr ? answer.get() : "", capacity);
    return result;
}

}  // namespace

int InitAtInterface(AtUrcCallback callback) {
    TBOX_LOG(debug, "InitAtInterface >>>>>>> \n");
    if (g_proxy != nullptr) {
        // Releasing the previous proxy disconnects its handlers, so a URC is never delivered twice.
        tbox::client::release(g_proxy);
        g_proxy = nullptr;
    }
    g_proxy = tbox::client::open_proxy(ky_at_proxy_new_for_bus_sync, "ky.at", "/ky/at",
                                       TBOX_REPORT_LOG(err, "[AT] init dbus proxy error: %s \n"), &g_proxy);
    if (g_proxy == nullptr) return -1;
    if (callback != nullptr) {
        tbox::client::connect(g_proxy, "urc-broadcast", G_CALLBACK(callback));
    } else {
        TBOX_LOG(debug, "handle signal callback is null ");
    }
    return 0;
}

int SendAT(const char *cmd, const char *prefix, int responseLines, char *response) {
    return send_at(cmd, prefix, responseLines, response, 0);
}

int GetModemICCID(char *iccid) {
    if (iccid == nullptr) return TBOX_ERR_NULL_ARG;
    return SendAT("at+qccid", "+QCCID", 1, iccid);
}

int GetModemIMEI(char *imei) {
    if (imei == nullptr) return TBOX_ERR_NULL_ARG;
    return SendAT("at+gsn", "", 3, imei);
}

int GetModemIMSI(char *imsi) {
    if (imsi == nullptr) return TBOX_ERR_NULL_ARG;
    return SendAT("at+cimi", "", 3, imsi);
}

int GetModemCSQ(unsigned char *csq) {
    if (csq == nullptr) return TBOX_ERR_NULL_ARG;
    char local[kCsqBufferSize] = {0};
    int result = send_at("at+csq", "+CSQ:", 1, local, sizeof local);
    if (result == TBOX_ERR_DBUS) return result;
    *csq = static_cast<unsigned char>(std::atoi(local));
    return result;
}

int ReadADC(int channel, char *response) {
    char command[32];
    std::snprintf(command, sizeof command, "%s%d", "AT+QADC=", channel);
    int result = SendAT(command, "", 1, response);
    if (result != 0) {
        TBOX_LOG(err, "Read ADC Err\n");
    }
    return result;
}

int GpsInit(void) {
    struct Step {
        const char *command;
        const char *failure;
    };
    static const Step kSteps[] = {
        {"AT+QGPSCFG=\"outport\"", "EN GPS UART Err\n"},
        {"AT+QGPSCFG=\"glonassnmeatype\",1", "EN GL Gps  Err\n"},
        {"AT+QGPSCFG=\"galileonmeatype\",1", "EN GA Gps  Err\n"},
        {"AT+QGPSCFG=\"beidounmeatype\",2", "EN BD Gps  Err\n"},
    };
    char answer[kGpsBufferSize];
    std::memset(answer, 0, sizeof answer);
    for (const Step &step : kSteps) {
        const int result = send_at(step.command, "", 0, answer, sizeof answer);
        if (result != 0) {
            TBOX_LOG(err, "%s", step.failure);
            return result;
        }
    }
    return 0;
}

int GpsEnable(void) {
    TBOX_LOG(info, "GpsEnable start !\n");
    int ignored = std::system("sh /oemapp/servers/set_gpio.sh 24 1");
    (void)ignored;
    return 0;
}

int GpsDisable(void) {
    TBOX_LOG(info, "GpsEnable stop !\n");
    int ignored = std::system("sh /oemapp/servers/set_gpio.sh 24 0");
    (void)ignored;
    return 0;
}
