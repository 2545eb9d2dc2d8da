// The upgrade task client of the ky.update service: bind, start and watch the upgrade, unbind.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "common/dbus_client.h"
#include "common/log.h"
#include "common/text.h"
#include "tbox/upgrade.h"
#include "tbox/upgrade_gdbus.h"
#include "upgrade/upgrade_internal.h"

namespace {

using tbox::client::call;

// The ky.update proxy: null until InitUpgradeClient succeeds, then kept for the life of the process.
KyUpdate *g_upgradeProxy = nullptr;
UpgradeStateChangedCb g_stateCallback = nullptr;
tbox::upgrade::Waits g_waits;

constexpr size_t kMessageSize = TBOX_START_MESSAGE_SIZE;

using tbox::text::copy_cut;
using tbox::upgrade::kPollLimit;

// The meeting point of one StartUpgradePkg call and its reply. The waiter and the reply handler each
// hold a reference, so a reply that comes after the wait ended still finds it alive, and a later call
// never shares it.
struct Rendezvous {
    Rendezvous() {
        g_mutex_init(&lock);
        g_cond_init(&cond);
    }
    ~Rendezvous() {
        g_cond_clear(&cond);
        g_mutex_clear(&lock);
    }
    Rendezvous(const Rendezvous &) = delete;
    Rendezvous &operator=(const Rendezvous &) = delete;

    GMutex lock;
    GCond cond;
    bool replied = false;
    int started = 0;
    char message[kMessageSize] = {0};
};
using RendezvousRef = std::shared_ptr<Rendezvous>;

void send_start_upgrade_state_change(int32_t state) {
    if (g_stateCallback != nullptr) g_stateCallback(state);
}

void upgrade_callback(GObject *source, GAsyncResult *result, gpointer userData) {
    const std::unique_ptr<RendezvousRef> hold(static_cast<RendezvousRef *>(userData));  // the handler's reference
    if (g_upgradeProxy == nullptr) {
        TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
        return;
    }
    if (!hold) return;
    Rendezvous &rv = **hold;
    tbox::GCharOut errLog;
    tbox::GErrorOut error;
    const bool accepted = ky_update_call_start_upgrade_finish(KY_UPDATE(source), errLog.out(), result, error.out());
    if (accepted) {
        // spelled as the box's services and peers match it; do not correct
        TBOX_LOG(debug, "upgrade start successed\n");
    } else {
        TBOX_LOG(debug, "upgrade fail\n");
    }
    g_mutex_lock(&rv.lock);
    rv.started = accepted ? 1 : 0;
    copy_cut(rv.message, accepted ? (errLog.get() != nullptr ? errLog.get() : "") : error.message(), kMessageSize);
    rv.replied = true;
    g_cond_signal(&rv.cond);
    g_mutex_unlock(&rv.lock);
}

// 1 when the service's bound process is this one, 0 when not or the query failed, -1 before init.
int check_bound_pid() {
    if (g_upgradeProxy == nullptr) return -1;
    gint bindId = -1;
    // spelled as the box's services and peers match it; do not correct
    if (!call(TBOX_REPORT_LOG(debug, "Error:CheckBindedPid fail!\n[%s]\n"), ky_update_call_get_bind_id_sync,
              g_upgradeProxy, &bindId)) {
        return 0;
    }
    TBOX_LOG(debug, "%d:%d\n", bindId, static_cast<int>(getpid()));
    return bindId == getpid() ? 1 : 0;
}

bool refuse_before_init() {
    if (g_upgradeProxy != nullptr) return false;
    TBOX_LOG(debug, "ERR:UpgradeTask have not init!\n");
    return true;
}

// Waits for the reply of the StartUpgrade call behind `rv` until the deadline; copies its outcome.
int wait_for_reply(Rendezvous &rv, char *message) {
    const gint64 deadline = g_get_monotonic_time() + g_waits.startReplyUs;
    g_mutex_lock(&rv.lock);
    while (!rv.replied && g_cond_wait_until(&rv.cond, &rv.lock, deadline)) {
    }
    const int started = rv.replied ? rv.started : 0;
    copy_cut(message, rv.replied ? rv.message : "upgrade:Upgrade fail", kMessageSize);
    g_mutex_unlock(&rv.lock);
    return started;
}

// Queries GetUpgradeStatus once per interval until it answers 0 (success), another value than 1
// (failure) or the limit passes. A failed query counts as one "in progress" answer.
int poll_upgrade_status() {
    for (int count = 0;;) {
        gint status = -1;
        const bool answered = call(TBOX_REPORT_LOG(err, "GetUpgradeStatus error:%s\n"),
                                   ky_update_call_get_upgrade_status_sync, g_upgradeProxy, &status);
        if (answered && status == 0) {
            TBOX_LOG(debug, "upgrade success:0 ");
            return 0;
        }
        if (answered && status != 1) {
            // spelled as the box's services and peers match it; do not correct
            TBOX_LOG(err, "upgrade failue : %d", status);
            return -1;
        }
        if (answered) TBOX_LOG(debug, "upgrading :1");
        ++count;
        g_usleep(g_waits.pollIntervalUs);
        if (count > kPollLimit) {
            // spelled as the box's services and peers match it; do not correct
            TBOX_LOG(err, "upgrade failue:has not successed after 180s");
            return -1;
        }
    }
}

}  // namespace

namespace tbox::upgrade {

bool task_client_ready() {
    return g_upgradeProxy != nullptr;
}

void set_waits_for_tests(const Waits &chosen) {
    g_waits = chosen;
}

const Waits &waits() {
    return g_waits;
}

}  // namespace tbox::upgrade

int InitUpgradeClient(void) {
    if (g_upgradeProxy != nullptr) {
        // spelled as the box's services and peers match it; do not correct
        TBOX_LOG(debug, "BindUpgradeTask have inited\n");
        return 0;
    }
    g_upgradeProxy = tbox::client::open_proxy(ky_update_proxy_new_for_bus_sync, "ky.update", "/ky/update",
                                              TBOX_REPORT_LOG(debug, "Error:new proxy for upgrade[%s]\n"));
    if (g_upgradeProxy == nullptr) return -1;
    TBOX_LOG(debug, "%s:Start\n", "InitUpgradeClient");
    return 0;
}

int BindUpgradeTask(void) {
    if (refuse_before_init()) return -1;
    if (!call(TBOX_REPORT_LOG(debug, "BindUpgradeTask error:%s\n"), ky_update_call_bind_upgrade_sync, g_upgradeProxy,
              static_cast<gint>(getpid()))) {
        return -1;
    }
    TBOX_LOG(debug, "BindUpgradeTask success\n");
    return 0;
}

int UnbindUpgradeTask(int resetMcu) {
    if (g_upgradeProxy == nullptr || check_bound_pid() != 1) return -1;
    if (!call(TBOX_REPORT_LOG(debug, "UnbindUpgradeTask error:%s\n"), ky_update_call_unbind_upgrade_sync,
              g_upgradeProxy, static_cast<gboolean>(resetMcu != 0))) {
        return -1;
    }
    TBOX_LOG(debug, "UnbindUpgradeTask success\n");
    return 0;
}

int GetCanParserStatus(int32_t *status) {
    if (refuse_before_init() || status == nullptr) return -1;
    gint value = 0;
    if (!call(TBOX_REPORT_LOG(debug, "GetCanParserStatus error:%s\n"), ky_update_call_get_can_parser_status_sync,
              g_upgradeProxy, &value)) {
        return -1;
    }
    *status = value;
    TBOX_LOG(debug, "GetCanParserStatus success\n");
    return 0;
}

// spelled as the box's services and peers match it; do not correct
int RegisterStatueChangedCb(UpgradeStateChangedCb callback) {
    if (callback == nullptr) return -1;
    g_stateCallback = callback;
    return 0;
}

int StartUpgradePkg(const char *path, uint8_t uflag, char *message) {
    if (refuse_before_init() || path == nullptr || message == nullptr) return -1;
    if (!tbox::client::is_utf8(path)) {
        // spelled as the box's services and peers match it; do not correct
        TBOX_LOG(err, "upgrade failue : package path is not UTF-8\n");
        copy_cut(message, "upgrade:package path is not UTF-8", kMessageSize);
        return -1;
    }
    const auto rv = std::make_shared<Rendezvous>();
    send_start_upgrade_state_change(1);
    // The live proxy, brought back first if the bus restarted; while it is gone the call fails as sent.
    tbox::GErrorOut unavailable;
    gpointer live = tbox::client::hold(g_upgradeProxy, unavailable.out());
    ky_update_call_start_upgrade(live != nullptr ? KY_UPDATE(live) : g_upgradeProxy, path, uflag, nullptr,
                                 upgrade_callback, new RendezvousRef(rv));
    if (live != nullptr) g_object_unref(live);  // the pending call keeps its own reference
    const int started = wait_for_reply(*rv, message);
    send_start_upgrade_state_change(0);
    if (started == 0) {
        // spelled as the box's services and peers match it; do not correct
        TBOX_LOG(err, "upgrade failue : server not return ");
        return -1;
    }
    return poll_upgrade_status();
}
