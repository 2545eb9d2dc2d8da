// ky.update: one bound process at a time, released when it unbinds, when its bus name leaves the bus or
// when its pid no longer exists; StartUpgrade accepts a gzip-compressed tar package that
// exists, reports status 1 for --upgrade-time ms and then the outcome (0, or the code set with
// update.outcome); GetCanParserStatus answers a value the scenario sets.
#include <signal.h>
#include <tbox/upgrade_gdbus.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim.h"

namespace tbox::sim {
namespace {

constexpr int kInProgress = 1;

// "" when path is a readable gzip file whose first member starts with a tar header, else why not.
std::string check_package(const std::string &path) {
    if (!g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return path + ": no such package file";
    FILE *raw = std::fopen(path.c_str(), "rb");
    if (raw == nullptr) return path + ": " + g_strerror(errno);
    unsigned char magic[2] = {0, 0};
    const size_t got = std::fread(magic, 1, 2, raw);
    std::fclose(raw);
    if (got != 2 || magic[0] != 0x1F || magic[1] != 0x8B) return path + ": not a gzip file";
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr) return path + ": cannot open";
    char header[512];
    const int n = gzread(gz, header, sizeof header);
    gzclose(gz);
    if (n != static_cast<int>(sizeof header)) return path + ": damaged or too short for a tar archive";
    if (std::memcmp(header + 257, "ustar", 5) != 0) return path + ": not a tar archive";
    return "";
}

class UpdateService : public Service {
public:
    explicit UpdateService(Hub &hub) : Service(hub), skeleton_(ky_update_skeleton_new()) {
        auto *sk = skeleton_.get();
        g_signal_connect(sk, "handle-bind-upgrade",
                         handler(+[](KyUpdate *o, GDBusMethodInvocation *inv, gint pid, gpointer self) -> gboolean {
                             auto *u = static_cast<UpdateService *>(self);
                             if (pid <= 0) return refuse(inv, "ky.update.Error.InvalidPid", "pid must be positive");
                             u->drop_if_gone();
                             if (u->bound_ != 0 && u->bound_ != pid)
                                 return refuse(inv, "ky.update.Error.Busy",
                                               "bound to pid " + std::to_string(u->bound_));
                             u->bind(pid, inv);
                             ky_update_complete_bind_upgrade(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(
            sk, "handle-unbind-upgrade",
            handler(+[](KyUpdate *o, GDBusMethodInvocation *inv, gboolean reset_mcu, gpointer self) -> gboolean {
                auto *u = static_cast<UpdateService *>(self);
                if (u->bound_ == 0) return refuse(inv, "ky.update.Error.NotBound", "no process is bound");
                if (u->status_ == kInProgress) return refuse(inv, "ky.update.Error.Busy", "an upgrade is in progress");
                u->release();
                if (reset_mcu) u->hub_.say("upgrade: MCU reset on unbind");
                ky_update_complete_unbind_upgrade(o, inv);
                return TRUE;
            }),
            this);
        g_signal_connect(sk, "handle-get-bind-id",
                         handler(+[](KyUpdate *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             auto *u = static_cast<UpdateService *>(self);
                             u->drop_if_gone();
                             ky_update_complete_get_bind_id(o, inv, u->bound_);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-start-upgrade",
                         handler(+[](KyUpdate *o, GDBusMethodInvocation *inv, const gchar *path, guchar flag,
                                     gpointer self) -> gboolean {
                             auto *u = static_cast<UpdateService *>(self);
                             if (u->status_ == kInProgress)
                                 return refuse(inv, "ky.update.Error.Busy", "an upgrade is in progress");
                             const std::string error = check_package(path);
                             if (!error.empty()) return refuse(inv, "ky.update.Error.BadPackage", error);
                             u->begin(path, flag);
                             ky_update_complete_start_upgrade(o, inv, "upgrade:package accepted");
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-upgrade-status",
                         handler(+[](KyUpdate *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_update_complete_get_upgrade_status(o, inv, static_cast<UpdateService *>(self)->status_);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(sk, "handle-get-can-parser-status",
                         handler(+[](KyUpdate *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_update_complete_get_can_parser_status(o, inv,
                                                                      static_cast<UpdateService *>(self)->can_parser_);
                             return TRUE;
                         }),
                         this);
        on("outcome", "code:i", "how later upgrades end: 0 success, any other value a failure code (not 1)",
           [this](const Args &a) {
               if (a.integer(0) == kInProgress) return "1 means in progress, not an outcome";
               outcome_ = a.integer(0);
               return "";
           });
        on("can-parser", "status:i", "sets what GetCanParserStatus answers", [this](const Args &a) {
            can_parser_ = a.integer(0);
            return "";
        });
    }
    const char *prefix() const override { return "update"; }
    const char *bus_name() const override { return "ky.update"; }
    const char *object_path() const override { return "/ky/update"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

    ~UpdateService() override { unwatch(); }

private:
    // The binder's unique bus name is watched: when its connection closes (the process ended or was
    // killed), the binding goes with it, as a platform service that knows its callers does it.
    void bind(int pid, GDBusMethodInvocation *inv) {
        if (bound_ == pid) return;
        unwatch();
        bound_ = pid;
        const char *sender = g_dbus_method_invocation_get_sender(inv);
        if (sender == nullptr) return;  // a peer-to-peer connection has no names to watch
        watch_ = g_bus_watch_name_on_connection(
            g_dbus_method_invocation_get_connection(inv), sender, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
            [](GDBusConnection *, const gchar *name, gpointer self) {
                auto *u = static_cast<UpdateService *>(self);
                u->hub_.say("upgrade: released the binding of pid " + std::to_string(u->bound_) + " (" + name +
                            " left the bus)");
                u->release();
            },
            this, nullptr);
    }

    // A binder that stays on the bus may still have ended (it bound on behalf of a pid, or its
    // connection is shared): a bound pid that no longer exists is released too.
    void drop_if_gone() {
        if (bound_ == 0 || kill(bound_, 0) == 0 || errno != ESRCH) return;
        hub_.say("upgrade: released the binding of pid " + std::to_string(bound_) + " (no such process)");
        release();
    }

    void release() {
        unwatch();
        bound_ = 0;
    }

    void unwatch() {
        if (watch_ != 0) g_bus_unwatch_name(watch_);
        watch_ = 0;
    }

    void begin(const std::string &path, int flag) {
        status_ = kInProgress;
        hub_.say("upgrade: installing " + path + " (flag " + std::to_string(flag) + ")");
        timers_.after(static_cast<unsigned>(std::max(0, hub_.options().upgrade_ms)), [this] {
            status_ = outcome_;
            hub_.say("upgrade: finished with status " + std::to_string(status_));
        });
    }

    GObjectPtr<KyUpdate> skeleton_;
    int bound_ = 0;       // pid of the bound process, 0 when none
    unsigned watch_ = 0;  // the bound caller's bus name, watched
    int status_ = 0;
    int outcome_ = 0;
    int can_parser_ = 0;
};

}  // namespace

std::unique_ptr<Service> make_update_service(Hub &hub) {
    return std::make_unique<UpdateService>(hub);
}

}  // namespace tbox::sim
