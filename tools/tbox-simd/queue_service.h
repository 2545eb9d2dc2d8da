// The owner side of a System V service queue (key 1: MCU messages, key 2: upgrade configuration),
// in the record layouts of docs/formats/queue_records.md: it keeps the subscriptions that control
// messages ask for, hands data messages to the subclass and delivers messages to subscribed
// application queues. Records in host byte order, as the library writes them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim.h"

namespace tbox::sim {

struct QueueLimits {
    key_t key;
    const char *label;    // "mcu" or "config": the journal's and the events' prefix
    uint32_t first_type;  // subscribable message types
    uint32_t last_type;
    uint32_t smallest_key;  // smallest application keyId
};

class QueueService : public Service {
public:
    QueueService(Hub &hub, QueueLimits limits);
    ~QueueService() override;
    const char *prefix() const override { return limits_.label; }
    std::string start() override;

protected:
    // A message other than a well-formed control message: the subclass records or refuses it.
    virtual void on_data(long mtype, const std::vector<uint8_t> &text) = 0;
    // Puts the text, with mtype, on every application queue subscribed to mtype. Returns "" or why not.
    std::string deliver(long mtype, const std::vector<uint8_t> &text);
    void refused(const std::string &why);

    QueueLimits limits_;

private:
    void drain();
    void on_control(long mtype, const std::vector<uint8_t> &text);

    int queue_ = -1;
    std::map<uint32_t, std::set<uint32_t>> subscribers_;  // message type -> keyIds
};

inline uint32_t get_u32(const std::vector<uint8_t> &t, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | t[at + i];
    return v;
}
inline uint16_t get_u16(const std::vector<uint8_t> &t, size_t at) {
    return static_cast<uint16_t>(t[at] | t[at + 1] << 8);
}
inline void put_u32(std::vector<uint8_t> &t, uint32_t v) {
    for (int i = 0; i < 4; ++i) t.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u16(std::vector<uint8_t> &t, uint16_t v) {
    t.push_back(static_cast<uint8_t>(v));
    t.push_back(static_cast<uint8_t>(v >> 8));
}
std::string hex_type(uint32_t type);  // "0x0201"

}  // namespace tbox::sim
