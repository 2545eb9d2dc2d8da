// tboxctl net: dial status and addresses of the data profiles, and their changes (tbox/net.h).
#include <tbox/net.h>

#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

const char *status_name(int status) {
    switch (status) {
        case 0:
            return "down";
        case 1:
            return "up";
        default:
            return "unknown";
    }
}

int init(Context &ctx) {
    if (InitNetInterface() != 0) return ctx.fail("cannot reach the network service (ky.net)");
    return kOk;
}

int status(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    const bool one = args.has("PROFILE");
    const int first = one ? static_cast<int>(args.integer("PROFILE")) : NET_PROFILE_FIRST;
    const int last = one ? first : 2;
    for (int profile = first; profile <= last; ++profile) {
        const int dial = GetNetWorkStatus(profile);
        if (dial < 0) return ctx.fail("no status for profile " + std::to_string(profile));
        Answer a;
        a.number("profile", profile).number("status", dial).text("state", status_name(dial));
        char ip[64] = "";
        if (dial == 1 && GetNetWorkIp(profile, ip) == 0) {
            a.text("ip", ip);
        } else {
            a.none("ip");
        }
        ctx.print(a);
    }
    return kOk;
}

int ip(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    const auto profile = static_cast<int>(args.integer("PROFILE"));
    char address[64] = "";
    if (GetNetWorkIp(profile, address) != 0) return ctx.fail("no address for profile " + std::to_string(profile));
    ctx.print(Answer().number("profile", profile).text("ip", address));
    return kOk;
}

void on_change(int slot, int dial) {
    watch_event(Answer().number("profile", slot + 1).number("status", dial).text("state", status_name(dial)));
}

int watch_changes(Context &ctx, const Args &args) {
    RegisterNetWorkStatusChangeCBack(on_change);
    if (const int s = init(ctx); s != kOk) return s;
    return watch(ctx, args.integer("--count"));
}

Param profile(bool optional) {
    Param p = int_arg("PROFILE", NET_PROFILE_FIRST, NET_PROFILE_LAST, "the data profile");
    return optional ? optional_arg(p) : p;
}

}  // namespace

Command net_commands() {
    return group("net", "Data connection: dial status and address of the profiles.",
                 {leaf("status", "dial status of a profile (default: profiles 1 and 2)", {profile(true)}, status),
                  leaf("ip", "the profile's IP address", {profile(false)}, ip),
                  leaf("watch", "print profiles 1 and 2 whenever the network changes, until interrupted",
                       {int_option("--count", 1, 1000000, "stop after N events")}, watch_changes)});
}

}  // namespace tboxctl
