// The MCU message service: owns queue key 1, keeps subscriptions (0x0101..0x3FFE, keyId > 1),
// records every data message an application sends to the MCU, and delivers MCU messages from the
// scenario or the control interface (mcu.send) to every subscribed application queue.
#include "queue_service.h"

namespace tbox::sim {
namespace {

constexpr size_t kHeaderText = 8;       // type, len, subCmd, fill
constexpr size_t kLargestSent = 5120;   // what SendMcuMsg sends at most
constexpr size_t kLargestTaken = 5124;  // what GetMcuMsg takes at most

class McuQueueService : public QueueService {
public:
    explicit McuQueueService(Hub &hub) : QueueService(hub, {1, "mcu", 0x0101, 0x3FFE, 2}) {
        on("send", "type:i subcmd:i data:x", "the MCU sends a message: delivered to every queue subscribed to type",
           [this](const Args &a) -> std::string {
               const int type = a.integer(0);
               const auto data = a.bytes(2);
               if (type < 0x0101 || type > 0x3FFE) return "type must lie within 0x0101..0x3FFE";
               if (a.integer(1) < 0 || a.integer(1) > 255) return "subcmd must be 0-255";
               if (data.size() > kLargestTaken) return "at most 5124 payload bytes";
               std::vector<uint8_t> text;
               put_u32(text, static_cast<uint32_t>(type));
               put_u16(text, static_cast<uint16_t>(data.size()));
               text.push_back(static_cast<uint8_t>(a.integer(1)));
               text.push_back(0);
               text.insert(text.end(), data.begin(), data.end());
               return deliver(type, text);
           });
    }

protected:
    void on_data(long mtype, const std::vector<uint8_t> &text) override {
        const std::string what = "data " + hex_type(static_cast<uint32_t>(mtype));
        if (text.size() < kHeaderText) {
            refused(what + ": impossible length, " + std::to_string(text.size()) + " bytes (header is 8)");
            return;
        }
        const uint32_t type = get_u32(text, 0);
        const uint16_t len = get_u16(text, 4);
        if (len != text.size() - kHeaderText) {
            refused(what + ": impossible length, len says " + std::to_string(len) + " but " +
                    std::to_string(text.size() - kHeaderText) + " payload bytes came");
            return;
        }
        if (len > kLargestSent) {
            refused(what + ": impossible length " + std::to_string(len) + " (at most 5120)");
            return;
        }
        if (type != static_cast<uint32_t>(mtype)) {
            refused(what + ": type field says " + hex_type(type));
            return;
        }
        hub_.journal().add("mcu " + what + " sub " + hex_type(text[6]).substr(4) + " len " + std::to_string(len) + " " +
                           to_hex(text.data() + kHeaderText, len));
    }
};

}  // namespace

std::unique_ptr<Service> make_mcu_queue_service(Hub &hub) {
    return std::make_unique<McuQueueService>(hub);
}

}  // namespace tbox::sim
