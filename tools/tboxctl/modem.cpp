// tboxctl modem: identity, signal quality and raw AT commands (tbox/at.h).
#include <tbox/at.h>

#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

// Long enough for any answer the service collects for a few lines.
constexpr size_t kAnswerSize = 4096;

bool init(Context &ctx, int &status) {
    if (InitAtInterface(nullptr) == 0) return true;
    status = ctx.fail("cannot reach the AT service (ky.at)");
    return false;
}

int info(Context &ctx, const Args &) {
    int status = kOk;
    if (!init(ctx, status)) return status;
    char iccid[kAnswerSize] = "";
    char imei[kAnswerSize] = "";
    char imsi[kAnswerSize] = "";
    if (GetModemICCID(iccid) != 0) return ctx.fail("the modem did not give its ICCID");
    if (GetModemIMEI(imei) != 0) return ctx.fail("the modem did not give its IMEI");
    if (GetModemIMSI(imsi) != 0) return ctx.fail("the modem did not give its IMSI");
    ctx.print(
        Answer().text("iccid", trim_answer(iccid)).text("imei", trim_answer(imei)).text("imsi", trim_answer(imsi)));
    return kOk;
}

int csq(Context &ctx, const Args &) {
    int status = kOk;
    if (!init(ctx, status)) return status;
    unsigned char rssi = 0;
    if (GetModemCSQ(&rssi) != 0) return ctx.fail("the modem did not give its signal quality");
    ctx.print(Answer().number("rssi", rssi));
    return kOk;
}

int at(Context &ctx, const Args &args) {
    int status = kOk;
    if (!init(ctx, status)) return status;
    char answer[kAnswerSize] = "";
    const int lines = static_cast<int>(args.integer("--lines", 1));
    const int result = SendAT(args.text("CMD").c_str(), args.text("--prefix").c_str(), lines, answer);
    if (result == TBOX_ERR_DBUS) return ctx.fail("the AT service did not answer");
    ctx.print(Answer().number("result", result).text("answer", trim_answer(answer)));
    if (result != 0) return ctx.fail("the modem answered with error " + std::to_string(result));
    return kOk;
}

}  // namespace

Command modem_commands() {
    return group("modem", "The cellular modem: identity, signal quality, raw AT commands.",
                 {leaf("info", "ICCID, IMEI and IMSI", {}, info),
                  leaf("csq", "signal quality (RSSI, 0-31, 99 unknown)", {}, csq),
                  leaf("at", "send one AT command line and print the modem's answer",
                       {arg("CMD", Kind::Text, "the command line, e.g. AT+CSQ"),
                        option("--prefix", Kind::Text, "the answer line to pick, e.g. +CSQ: (default: none)"),
                        int_option("--lines", 1, 20, "answer lines the service collects, default 1")},
                       at)});
}

}  // namespace tboxctl
