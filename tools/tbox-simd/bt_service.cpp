// ky.bt: a Bluetooth/BLE controller with a name, a MAC, a state (0 off, 1 on, 2 connected), link
// quality, BLE on/off and a list of BLE keys. Data sent by applications is recorded; received data
// and state changes come from events.
#include <tbox/bt_gdbus.h>

#include <cstring>
#include <vector>

#include "sim.h"

namespace tbox::sim {
namespace {

constexpr size_t kMaxName = 31;
constexpr size_t kMaxKeys = 8;

class BtService : public Service {
public:
    explicit BtService(Hub &hub) : Service(hub), skeleton_(ky_bt_skeleton_new()) {
        auto *sk = skeleton_.get();
        g_signal_connect(sk, "handle-get-btname",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_bt_complete_get_btname(o, inv, static_cast<BtService *>(self)->name_.c_str());
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-btmac",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer) -> gboolean {
                             ky_bt_complete_get_btmac(o, inv, "02:1B:0C:5A:11:01");
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-btstate",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_bt_complete_get_btstate(o, inv, static_cast<BtService *>(self)->state_);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-bt-link-quality",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             const bool linked = static_cast<BtService *>(self)->state_ == 2;
                             ky_bt_complete_get_bt_link_quality(o, inv, linked ? -58 : -127, linked ? 87 : 0);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(
            sk, "handle-set-bt-name",
            handler(+[](KyBt *o, GDBusMethodInvocation *inv, const gchar *name, gpointer self) -> gboolean {
                const size_t n = std::strlen(name);
                if (n == 0 || n > kMaxName) return refuse(inv, "ky.bt.Error.InvalidName", "name takes 1-31 characters");
                static_cast<BtService *>(self)->name_ = name;
                ky_bt_complete_set_bt_name(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(
            sk, "handle-send-btdata",
            handler(+[](KyBt *o, GDBusMethodInvocation *inv, const gchar *, guint16 length, gpointer self) -> gboolean {
                if (static_cast<BtService *>(self)->state_ != 2)
                    return refuse(inv, "ky.bt.Error.NotConnected", "no device connected");
                // The bytes may hold zeros: take them from the message, not as a string. The generated
                // proxy sends text with its terminating zero, which dataLen leaves out.
                GVariant *data = g_variant_get_child_value(g_dbus_method_invocation_get_parameters(inv), 0);
                gsize size = 0;
                const auto *bytes = static_cast<const guint8 *>(g_variant_get_fixed_array(data, &size, 1));
                const bool terminated = size == static_cast<gsize>(length) + 1 && bytes[length] == 0;
                g_variant_unref(data);
                if (static_cast<gsize>(length) != size && !terminated) {
                    return refuse(inv, "ky.bt.Error.InvalidLength",
                                  "dataLen " + std::to_string(length) + " but " + std::to_string(size) + " bytes");
                }
                ky_bt_complete_send_btdata(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(sk, "handle-dis-ble-connect",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *bt = static_cast<BtService *>(self);
                             if (bt->state_ == 2) bt->set_state(1);
                             ky_bt_complete_dis_ble_connect(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-start-ble-func",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *bt = static_cast<BtService *>(self);
                             if (bt->state_ == 0) bt->set_state(1);
                             ky_bt_complete_start_ble_func(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-stop-ble-func",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *bt = static_cast<BtService *>(self);
                             if (bt->state_ != 0) bt->set_state(0);
                             ky_bt_complete_stop_ble_func(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-set-ble-key",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, const gchar *key, gpointer self) -> gboolean {
                             auto *bt = static_cast<BtService *>(self);
                             const size_t n = std::strlen(key);
                             if (n == 0 || n > 64 || std::strchr(key, ',') != nullptr)
                                 return refuse(inv, "ky.bt.Error.InvalidKey",
                                               "a key is 1-64 characters without commas");
                             if (bt->keys_.size() >= kMaxKeys)
                                 return refuse(inv, "ky.bt.Error.Full", "8 keys stored already");
                             bt->keys_.emplace_back(key);
                             ky_bt_complete_set_ble_key(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-delete-ble-key",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gint index, gpointer self) -> gboolean {
                             auto *bt = static_cast<BtService *>(self);
                             if (index < 0 || static_cast<size_t>(index) >= bt->keys_.size())
                                 return refuse(inv, "ky.bt.Error.NoSuchKey", "no key " + std::to_string(index));
                             bt->keys_.erase(bt->keys_.begin() + index);
                             ky_bt_complete_delete_ble_key(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-ble-key",
                         handler(+[](KyBt *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             std::string all;
                             for (const auto &k : static_cast<BtService *>(self)->keys_)
                                 all += (all.empty() ? "" : ",") + k;
                             ky_bt_complete_get_ble_key(o, inv, all.c_str());
                             return TRUE;
                         }),
                         this);
        on("recv", "data:x", "a connected device sends these bytes: BtRecvData(length, bytes)", [this](const Args &a) {
            const auto bytes = a.bytes(0);
            if (bytes.size() > 0xFFFF) return "at most 65535 bytes";
            ky_bt_emit_bt_recv_data(skeleton_.get(), static_cast<guint16>(bytes.size()),
                                    g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1));
            return "";
        });
        on("state", "state:i", "sets the state (0 off, 1 on, 2 connected) and emits BtStateChange",
           [this](const Args &a) {
               if (a.integer(0) < 0 || a.integer(0) > 2) return "state must be 0-2";
               set_state(a.integer(0));
               return "";
           });
    }
    const char *prefix() const override { return "bt"; }
    const char *bus_name() const override { return "ky.bt"; }
    const char *object_path() const override { return "/ky/bt"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    void set_state(int state) {
        state_ = state;
        ky_bt_emit_bt_state_change(skeleton_.get(), state);
    }

    GObjectPtr<KyBt> skeleton_;
    std::string name_ = "TBOX-SIM";
    int state_ = 1;
    std::vector<std::string> keys_;
};

}  // namespace

std::unique_ptr<Service> make_bt_service(Hub &hub) {
    return std::make_unique<BtService>(hub);
}

}  // namespace tbox::sim
