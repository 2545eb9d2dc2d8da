// tboxctl wifi: Wi-Fi on and off, mode, access point and station (tbox/wifi.h).
#include <tbox/wifi.h>

#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

int init(Context &ctx) {
    if (InitWifiInterface() != 0) return ctx.fail("cannot reach the Wi-Fi service (ky.wifi)");
    return kOk;
}

// Runs one switching call; `done` names what happened.
int step(Context &ctx, int (*call)(), const char *done, int failure = -1) {
    if (const int s = init(ctx); s != kOk) return s;
    if (call() == failure) return ctx.fail(std::string("the box refused: ") + done);
    ctx.print(Answer().text("wifi", done));
    return kOk;
}

const char *status_name(int status) {
    static const char *const kNames[] = {"off", "idle", "access point running", "station connected",
                                         "access point and station"};
    return status >= 0 && status <= 4 ? kNames[status] : "unknown";
}

int status(Context &ctx, const Args &) {
    if (const int s = init(ctx); s != kOk) return s;
    const int st = ClientGetWifiStatus();
    if (st < 0) return ctx.fail("no Wi-Fi status");
    ctx.print(Answer().number("status", st).text("state", status_name(st)));
    return kOk;
}

int on(Context &ctx, const Args &) {
    return step(ctx, EnableWiFi, "on", 255);
}
int off(Context &ctx, const Args &) {
    return step(ctx, DisableWifi, "off", 255);
}
int ap_start(Context &ctx, const Args &) {
    return step(ctx, StartWiFiAp, "access point started");
}
int ap_stop(Context &ctx, const Args &) {
    return step(ctx, StopWiFiAp, "access point stopped");
}
int sta_start(Context &ctx, const Args &) {
    return step(ctx, StartWiFiSta, "station started");
}
int sta_stop(Context &ctx, const Args &) {
    return step(ctx, StopWiFiSta, "station stopped");
}

int mode(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    const auto m = static_cast<int>(args.integer("MODE"));
    if (SetWiFiMode(m) != 0) return ctx.fail("the box refused mode " + std::to_string(m));
    ctx.print(Answer().number("mode", m));
    return kOk;
}

int ap_get(Context &ctx, const Args &) {
    if (const int s = init(ctx); s != kOk) return s;
    WiFiApInfo info{};
    if (GetWiFiApInfo(&info) != 0) return ctx.fail("no access point settings");
    ctx.print(Answer().text("ssid", info.ssid).text("password", info.passwd).number("security", info.value));
    return kOk;
}

int ap_set(Context &ctx, const Args &args) {
    const std::string &ssid = args.text("SSID");
    const std::string &password = args.text("PASSWORD");
    if (ssid.size() >= WIFI_AP_TEXT_SIZE) return ctx.usage("SSID: longer than 31 characters");
    if (password.size() >= WIFI_AP_TEXT_SIZE) return ctx.usage("PASSWORD: longer than 31 characters");
    if (const int s = init(ctx); s != kOk) return s;
    WiFiApInfo info{};
    ssid.copy(info.ssid, WIFI_AP_TEXT_SIZE - 1);
    password.copy(info.passwd, WIFI_AP_TEXT_SIZE - 1);
    info.value = static_cast<int32_t>(args.integer("--security", 2));
    if (SetWiFiApInfo(&info, static_cast<int>(args.integer("--mask", 0))) != 0) {
        return ctx.fail("the box refused the access point settings");
    }
    ctx.print(Answer().text("ssid", info.ssid).number("security", info.value));
    return kOk;
}

int sta_connect(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    if (ConnectWiFiStaToApp(args.text("SSID").c_str(), args.text("PASSWORD").c_str()) != 0) {
        return ctx.fail("the station could not join " + args.text("SSID"));
    }
    ctx.print(Answer().text("connected", args.text("SSID")));
    return kOk;
}

}  // namespace

Command wifi_commands() {
    return group(
        "wifi", "Wi-Fi: on and off, mode, access point and station.",
        {leaf("status", "the Wi-Fi status", {}, status), leaf("on", "switch Wi-Fi on", {}, on),
         leaf("off", "switch Wi-Fi off", {}, off),
         leaf("mode", "set the mode", {int_arg("MODE", 0, 2, "0 access point, 1 station, 2 both")}, mode),
         group("ap", "The access point.",
               {leaf("get", "the access point's settings", {}, ap_get),
                leaf("set", "change the access point's settings",
                     {arg("SSID", Kind::Text, "network name (at most 31 characters)"),
                      arg("PASSWORD", Kind::Text, "password (at most 31 characters)"),
                      int_option("--security", 0, 2, "0 open, 1 WPA, 2 WPA2, default 2"),
                      int_option("--mask", 0, 0x7FFFFFFF,
                                 "which settings to change, as the service counts them (default 0)")},
                     ap_set),
                leaf("start", "start the access point", {}, ap_start),
                leaf("stop", "stop the access point", {}, ap_stop)}),
         group("sta", "The station.",
               {leaf("start", "start the station", {}, sta_start), leaf("stop", "stop the station", {}, sta_stop),
                leaf("connect", "join a network",
                     {arg("SSID", Kind::Text, "network name"), arg("PASSWORD", Kind::Text, "its password")},
                     sta_connect)})});
}

}  // namespace tboxctl
