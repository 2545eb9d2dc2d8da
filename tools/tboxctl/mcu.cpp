// tboxctl mcu: messages to and from the vehicle microcontroller (tbox/mcu.h).
#include <tbox/mcu.h>

#include <memory>
#include <string>
#include <vector>

#include "cli.h"

namespace tboxctl {
namespace {

int send(Context &ctx, const Args &args) {
    const std::vector<uint8_t> data = args.bytes("DATA");
    if (data.size() > MCU_MSG_MAX_SEND_LEN) return ctx.usage("DATA: more than 5120 bytes");
    if (InitMcuMsg() < 0) return ctx.fail("cannot reach the MCU message service (queue key 1)");
    const auto type = static_cast<uint32_t>(args.integer("TYPE"));
    const auto sub = static_cast<uint8_t>(args.integer("SUBCMD"));
    const uint8_t none = 0;
    const int sent = SendMcuMsg(type, static_cast<int16_t>(data.size()), sub, data.empty() ? &none : data.data());
    if (sent != 0) return ctx.fail("the message was not queued");
    ctx.print(Answer()
                  .number("type", type)
                  .number("subcmd", sub | 0x80)
                  .number("length", static_cast<long long>(data.size())));
    return kOk;
}

int watch_messages(Context &ctx, const Args &args) {
    const int key = InitMcuMsg();
    if (key < 0) return ctx.fail("cannot reach the MCU message service (queue key 1)");
    const auto type = static_cast<uint32_t>(args.integer("TYPE"));
    if (SubscriptionMcuMsg(static_cast<uint32_t>(key), type) != 0) {
        DestroyMcuMsg(key);
        return ctx.fail("cannot subscribe to the message type");
    }
    const long long limit = args.integer("--count");
    catch_stop_signals();
    const auto storage = std::make_unique<unsigned char[]>(sizeof(McuMsg));
    auto *msg = reinterpret_cast<McuMsg *>(storage.get());
    int status = kOk;
    for (long long seen = 0; (limit == 0 || seen < limit) && !stop_requested();) {
        const int got = GetMcuMsg(key, msg, 1);
        if (got == TBOX_ERR_TIMEOUT) continue;
        if (got < 0) {
            status = ctx.fail("cannot receive from the application queue");
            break;
        }
        ctx.print(Answer()
                      .number("type", msg->type)
                      .number("subcmd", msg->subCmd)
                      .number("length", msg->len)
                      .text("data", hex_text(msg->data, msg->len)));
        ++seen;
    }
    UnSubscriptionMcuMsg(static_cast<uint32_t>(key), type);
    DestroyMcuMsg(key);
    return status;
}

}  // namespace

Command mcu_commands() {
    return group("mcu", "Messages to and from the vehicle microcontroller.",
                 {leaf("send", "queue one message for the MCU",
                       {int_arg("TYPE", MCU_MSG_TYPE_FIRST, MCU_MSG_TYPE_LAST, "message type"),
                        int_arg("SUBCMD", 0, 0x7F, "sub-command (sent with bit 7 set)"),
                        arg("DATA", Kind::Hex, "payload as hex bytes, - for none")},
                       send),
                  leaf("watch", "subscribe to a message type and print each message, until interrupted",
                       {int_arg("TYPE", MCU_MSG_TYPE_FIRST, MCU_MSG_TYPE_LAST, "message type"),
                        int_option("--count", 1, 1000000, "stop after N messages")},
                       watch_messages)});
}

}  // namespace tboxctl
