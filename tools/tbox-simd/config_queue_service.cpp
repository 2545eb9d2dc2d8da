// The upgrade service's configuration side: owns queue key 2, keeps subscriptions (3..0x3FFE,
// keyId > 2) and delivers configuration messages (config.send) to subscribed application queues.
// Delivered text: lead (the type, 4 bytes), len (2 bytes), body. Applications send it nothing else.
#include "queue_service.h"

namespace tbox::sim {
namespace {

constexpr size_t kLargestBody = 4212 - 6;  // GetConfigMsg takes at most 4212 text bytes

class ConfigQueueService : public QueueService {
public:
    explicit ConfigQueueService(Hub &hub) : QueueService(hub, {2, "config", 3, 0x3FFE, 3}) {
        on("send", "type:i body:x", "the upgrade service sends a configuration message to subscribers of type",
           [this](const Args &a) -> std::string {
               const int type = a.integer(0);
               const auto body = a.bytes(1);
               if (type < 3 || type > 0x3FFE) return "type must lie within 3..0x3FFE";
               if (body.size() > kLargestBody) return "at most 4206 body bytes";
               std::vector<uint8_t> text;
               put_u32(text, static_cast<uint32_t>(type));
               put_u16(text, static_cast<uint16_t>(body.size()));
               text.insert(text.end(), body.begin(), body.end());
               return deliver(type, text);
           });
    }

protected:
    void on_data(long mtype, const std::vector<uint8_t> &text) override {
        refused("message " + hex_type(static_cast<uint32_t>(mtype)) + " of " + std::to_string(text.size()) +
                " bytes: this queue takes only 12-byte control messages of type 1 or 2");
    }
};

}  // namespace

std::unique_ptr<Service> make_config_queue_service(Hub &hub) {
    return std::make_unique<ConfigQueueService>(hub);
}

}  // namespace tbox::sim
