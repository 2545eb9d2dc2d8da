// tboxctl upgrade: each step of the over-the-air upgrade road, and "run", the whole road in one command
// (tbox/upgrade.h, tbox/version.h).
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <tbox/upgrade.h>
#include <tbox/upgrade_gdbus.h>
#include <tbox/version.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cli.h"

namespace tboxctl {
namespace {

// --- progress of a download ----------------------------------------------------------------------

bool g_progressOnTerminal = false;
int g_progressLast = -1;

void show_progress(int64_t received, int64_t total) {
    if (total <= 0) {
        std::fprintf(stderr, g_progressOnTerminal ? "\rdownload: %lld bytes" : "download: %lld bytes\n",
                     static_cast<long long>(received));
        return;
    }
    const int percent = static_cast<int>(received * 100 / total);
    if (g_progressOnTerminal) {
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\rdownload [%s%s] %3d%%  %lld/%lld bytes", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '-').c_str(), percent, static_cast<long long>(received),
                     static_cast<long long>(total));
    } else if (percent != g_progressLast) {
        std::fprintf(stderr, "download: %d%%\n", percent);
    }
    g_progressLast = percent;
    std::fflush(stderr);
}

// Retries, deadline and rate cap of a download, from --attempts, --deadline and --max-rate (0: the
// library's default).
TboxDownloadOptions download_options(const Args &args) {
    TboxDownloadOptions o{};
    o.size = sizeof o;
    o.attempts = static_cast<uint32_t>(args.integer("--attempts"));
    o.deadlineSeconds = static_cast<uint32_t>(args.integer("--deadline"));
    o.maxRateBytesPerSecond = static_cast<uint64_t>(args.integer("--max-rate"));
    return o;
}

// Follows one DownloadUpgradePkg (resuming from "<path>.part") with a progress bar on a terminal,
// percentage lines otherwise.
int download_with_progress(const std::string &url, const std::string &path, const TboxDownloadOptions &options,
                           char *status) {
    g_progressOnTerminal = isatty(STDERR_FILENO) != 0;
    g_progressLast = -1;
    RegisterDownloadProgressCb(show_progress);
    const int result = DownloadUpgradePkg(url.c_str(), path.c_str(), &options, status);
    RegisterDownloadProgressCb(nullptr);
    if (g_progressOnTerminal && g_progressLast >= 0) std::fputc('\n', stderr);
    return result;
}

// --- shared pieces -------------------------------------------------------------------------------

std::string trimmed(const char *status) {
    std::string s = status;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

int init(Context &ctx) {
    if (InitUpgradeClient() != 0) return ctx.fail("cannot reach the upgrade service (ky.update)");
    return kOk;
}

// A binding left by a process that has ended (killed while bound) blocks every later upgrade, and the
// library's UnbindUpgradeTask releases only its own process's binding. The service's UnbindUpgrade names
// no pid, so we release such a binding ourselves, but only when its process is gone: a pid that still
// runs (or that we may not signal) keeps it.
struct Reclaim {
    enum Outcome { kNothingBound, kOwnerRunning, kReclaimed, kFailed } outcome = kFailed;
    int pid = 0;
    std::string error;
};

Reclaim reclaim_stale_binding() {
    Reclaim r;
    GError *error = nullptr;
    KyUpdate *proxy = ky_update_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, "ky.update",
                                                       "/ky/update", nullptr, &error);
    gint pid = 0;
    if (proxy != nullptr && ky_update_call_get_bind_id_sync(proxy, &pid, nullptr, &error)) {
        r.pid = pid;
        if (pid <= 0) {
            r.outcome = Reclaim::kNothingBound;
        } else if (kill(pid, 0) == 0 || errno != ESRCH) {
            r.outcome = Reclaim::kOwnerRunning;
        } else if (ky_update_call_unbind_upgrade_sync(proxy, FALSE, nullptr, &error)) {
            r.outcome = Reclaim::kReclaimed;
        }
    }
    if (error != nullptr) {
        r.error = error->message;
        g_error_free(error);
    }
    if (proxy != nullptr) g_object_unref(proxy);
    return r;
}

std::string reclaimed_line(int pid) {
    return "reclaimed stale binding of pid " + std::to_string(pid);
}

// Runs StartUpgradePkg while another thread runs the default main context, where its reply arrives.
int start_package(const std::string &path, uint8_t flag, char *message) {
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    std::thread runner([loop] { g_main_loop_run(loop); });
    const int result = StartUpgradePkg(path.c_str(), flag, message);
    g_main_loop_quit(loop);
    runner.join();
    g_main_loop_unref(loop);
    return result;
}

// Which digest to compare: "" when the arguments do not say exactly one.
std::string digest_kind(const Args &args) {
    if (args.has("--md5") == args.has("--sha256")) return "";
    return args.has("--md5") ? "md5" : "sha256";
}

std::string check_digest_text(const std::string &kind, const std::string &digest) {
    const size_t want = kind == "md5" ? 32 : 64;
    if (digest.size() != want) return "--" + kind + ": expected " + std::to_string(want) + " hex digits";
    const bool hex = std::all_of(digest.begin(), digest.end(), [](char c) { return g_ascii_isxdigit(c); });
    return hex ? "" : "--" + kind + ": '" + digest + "' is not hex";
}

int verify_file(const std::string &path, const std::string &kind, const std::string &digest, char *status) {
    return kind == "md5" ? CheckUpgradePkgMd5(path.c_str(), digest.c_str(), status)
                         : CheckUpgradePkgSha256(path.c_str(), digest.c_str(), status);
}

uint8_t restore_type(const std::string &word) {
    return word == "whole" ? TBOX_RESTORE_WHOLE : TBOX_RESTORE_DIFF;
}

Answer version_answer(const char *text) {
    VersionRecord r{};
    ConvertStringToVersion_v3(&r, text);
    return Answer()
        .text("version", trimmed(text))
        .number("project", r.projectId)
        .number("major", r.major)
        .number("sub1", r.sub1)
        .number("sub2", r.sub2);
}

// --- single steps --------------------------------------------------------------------------------

int bind(Context &ctx, const Args &) {
    if (const int s = init(ctx); s != kOk) return s;
    if (BindUpgradeTask() != 0) return ctx.fail("the upgrade service refused the binding (another process owns it?)");
    ctx.print(Answer().text("bind", "ok").number("pid", getpid()));
    return kOk;
}

int unbind_stale(Context &ctx) {
    const Reclaim r = reclaim_stale_binding();
    switch (r.outcome) {
        case Reclaim::kReclaimed:
            std::fprintf(stderr, "%s: %s\n", ctx.path.c_str(), reclaimed_line(r.pid).c_str());
            ctx.print(Answer().text("unbind", "reclaimed").number("pid", r.pid));
            return kOk;
        case Reclaim::kNothingBound:
            return ctx.fail("no binding to reclaim");
        case Reclaim::kOwnerRunning:
            return ctx.fail("not reclaimed: the binding's process " + std::to_string(r.pid) + " is still running");
        case Reclaim::kFailed:
            break;
    }
    return ctx.fail("cannot reclaim the binding: " + r.error);
}

int unbind(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    if (args.has("--stale")) return unbind_stale(ctx);
    if (UnbindUpgradeTask(args.has("--reset-mcu") ? 1 : 0) != 0) {
        return ctx.fail("not unbound: the service reports no binding of this process");
    }
    ctx.print(Answer().text("unbind", "ok").none("pid"));
    return kOk;
}

int check(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    char status[TBOX_VERSION_STATUS_SIZE] = "";
    uint8_t flags = 0;
    const int result = CheckUpgradeVersion(args.text("VERSION").c_str(), &flags, status);
    Answer a;
    a.text("status", status);
    if (result == 0) {
        a.number("flags", flags);
    } else {
        a.none("flags");
    }
    ctx.print(a);
    return result == 0 ? kOk : ctx.fail(status);
}

int download(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    if (args.has("--ca") && SetDownloadCaFile(args.text("--ca").c_str()) != 0)
        return ctx.fail("cannot use the CA file");
    char status[TBOX_DOWNLOAD_STATUS_SIZE] = "";
    const int result = download_with_progress(args.text("URL"), args.text("PATH"), download_options(args), status);
    ctx.print(Answer().text("status", trimmed(status)));
    return result == 0 ? kOk : ctx.fail(trimmed(status));
}

int verify(Context &ctx, const Args &args) {
    const std::string kind = digest_kind(args);
    if (kind.empty()) return ctx.usage("give exactly one of --md5 and --sha256");
    const std::string &digest = args.text("--" + kind);
    if (const std::string problem = check_digest_text(kind, digest); !problem.empty()) return ctx.usage(problem);
    if (const int s = init(ctx); s != kOk) return s;
    char status[TBOX_CHECK_STATUS_SIZE] = "";
    const int result = verify_file(args.text("FILE"), kind, digest, status);
    ctx.print(Answer().text("status", status));
    return result == 0 ? kOk : ctx.fail(status);
}

int restore(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    char status[TBOX_CHECK_STATUS_SIZE] = "";
    const int result = RestoreUpgradePkg(args.text("FETCHED").c_str(), args.text("COMPLETE").c_str(),
                                         restore_type(args.text("TYPE")), status);
    ctx.print(Answer().text("status", status));
    return result == 0 ? kOk : ctx.fail(status);
}

int start(Context &ctx, const Args &args) {
    if (const int s = init(ctx); s != kOk) return s;
    char message[TBOX_START_MESSAGE_SIZE] = "";
    const int result = start_package(args.text("PACKAGE"), static_cast<uint8_t>(args.integer("--flag")), message);
    ctx.print(Answer().text("message", message).text("outcome", result == 0 ? "installed" : "failed"));
    return result == 0 ? kOk : ctx.fail(std::string("the upgrade failed: ") + message);
}

int version_get(Context &ctx, const Args &) {
    char text[TBOX_VERSION_TEXT_SIZE] = "";
    if (GetTBoxAppVersionStr(text) != 0) return ctx.fail("no version recorded");
    ctx.print(version_answer(text));
    return kOk;
}

int record_version(const std::string &version) {
    VersionRecord r{};
    ConvertStringToVersion_v3(&r, version.c_str());
    UpdateTboxAppVersion(r.projectId, r.major, r.sub1, r.sub2);
    char text[TBOX_VERSION_TEXT_SIZE] = "";
    return GetTBoxAppVersionStr(text) == 0 && trimmed(text) == version ? 0 : -1;
}

int version_set(Context &ctx, const Args &args) {
    const std::string &version = args.text("VERSION");
    if (record_version(version) != 0) return ctx.fail("the version file was not updated");
    ctx.print(version_answer(version.c_str()));
    return kOk;
}

// --- the whole road ------------------------------------------------------------------------------

// Test hook: TBOXCTL_TEST_INTERRUPT_AFTER=<step> makes the process signal itself (SIGINT) right after that
// step, so the tests can put an interruption exactly where a user's Ctrl-C may land (only "restore" is
// offered: the end of restore, just before the hand-over).
void interrupt_after_for_tests(const char *step) {
    const char *want = std::getenv("TBOXCTL_TEST_INTERRUPT_AFTER");
    if (want != nullptr && std::strcmp(want, step) == 0) kill(getpid(), SIGINT);
}

// Ctrl-C (or SIGTERM) during the road. Before the package is handed over, the step under way cannot be
// cut short, so the road stops after it and puts the box back as it was; a second one ends the process
// at once. The download is the exception: it may take long, and its partial file is worth more than its
// end, so an interruption during it ends the process at once and keeps the partial file for the next run. Once the
// service has accepted the package, the box installs it whatever we do: the road runs to its end (version recorded,
// binding released) and further signals only say so.
//
// The signals stay blocked in every thread (also those started later), so a signal sent to the process
// stays pending until it is read from a signalfd, and it is read only under one lock: by the watcher
// thread, which reacts at once, or by check() and hand_over() themselves. A signal that arrived before
// check() is therefore always seen by it, however the threads are scheduled.
class Interrupts {
public:
    Interrupts() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        signals_ = signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
        wake_ = eventfd(0, EFD_CLOEXEC);
        watcher_ = std::thread([this] { watch(); });
    }
    ~Interrupts() {
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) != sizeof one) std::abort();
        watcher_.join();
        close(signals_);
        close(wake_);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    Interrupts(const Interrupts &) = delete;
    Interrupts &operator=(const Interrupts &) = delete;

    // Whether the road was interrupted, counting a signal that is still pending.
    bool check() {
        std::lock_guard<std::mutex> lock(mutex_);
        take_pending();
        return count_ > 0;
    }
    // The road is about to hand the package over: true when it may (no interruption so far), and from
    // then on signals no longer stop it.
    bool hand_over() {
        std::lock_guard<std::mutex> lock(mutex_);
        // The test hook signals here, where the watcher cannot take the signal first: only this look sees it.
        interrupt_after_for_tests("restore");
        take_pending();
        if (count_ > 0) return false;
        handed_over_ = true;
        return true;
    }
    // While set, the first interruption calls `stop` (on the watcher thread; it must not return) instead
    // of waiting for the step under way. Pending signals are taken first, under the same lock.
    void stop_at_once_with(std::function<void()> stop) {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = std::move(stop);
        take_pending();
    }

private:
    void watch() {
        pollfd fds[2] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if ((fds[1].revents & POLLIN) != 0) return;
            std::lock_guard<std::mutex> lock(mutex_);
            take_pending();
        }
    }
    // Reads every pending signal and reacts to each; called with mutex_ held.
    void take_pending() {
        signalfd_siginfo info{};
        while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (handed_over_) {
                std::fputs("tboxctl upgrade run: the package is handed over; finishing the upgrade\n", stderr);
                continue;
            }
            if (++count_ > 1) _exit(128 + static_cast<int>(info.ssi_signo));
            if (stop_) stop_();
            std::fputs("tboxctl upgrade run: interrupted; stopping after this step (again to quit at once)\n", stderr);
        }
    }

    sigset_t set_{}, old_{};
    int signals_ = -1;
    int wake_ = -1;
    std::mutex mutex_;
    int count_ = 0;
    bool handed_over_ = false;
    std::function<void()> stop_;
    std::thread watcher_;
};

class Road {
public:
    Road(Context &ctx, const Args &args) : ctx_(ctx), args_(args) {}

    int run() {
        const std::string kind = digest_kind(args_);
        if (kind.empty()) return ctx_.usage("give exactly one of --md5 and --sha256");
        const std::string &digest = args_.text("--" + kind);
        if (const std::string problem = check_digest_text(kind, digest); !problem.empty()) return ctx_.usage(problem);
        const std::string dir = args_.has("--dir") ? args_.text("--dir") : TBOX_DATA_ROOT "/upgrade";
        if (!g_file_test(dir.c_str(), G_FILE_TEST_IS_DIR)) return ctx_.usage("--dir: no directory " + dir);
        fetched_ = dir + "/tboxctl-download.bin";
        complete_ = dir + "/tboxctl-package.tgz";
        if (const int s = take_signature_args(); s != kOk) return s;
        const std::string &version = args_.text("--version");
        const std::string type = args_.has("--type") ? args_.text("--type") : "diff";

        if (const int s = init(ctx_); s != kOk) return s;
        if (args_.has("--ca") && SetDownloadCaFile(args_.text("--ca").c_str()) != 0)
            return ctx_.fail("cannot use the CA file");
        if (BindUpgradeTask() != 0) {
            const Reclaim r = reclaim_stale_binding();
            if (r.outcome != Reclaim::kReclaimed || BindUpgradeTask() != 0)
                return ctx_.fail("bind: the upgrade service refused (another process owns the upgrade?)");
            std::fprintf(stderr, "%s: bind: %s\n", ctx_.path.c_str(), reclaimed_line(r.pid).c_str());
        }
        bound_ = true;
        step("bind", "ok");
        if (interrupts_.check()) return failed("bind", "interrupted");

        char status[TBOX_DOWNLOAD_STATUS_SIZE] = "";
        uint8_t flags = 0;
        if (CheckUpgradeVersion(version.c_str(), &flags, status) != 0) return failed("check", status);
        step("check", status);
        if (interrupts_.check()) return failed("check", "interrupted");

        if (const int s = download(kind, digest); s != kOk) return s;
        // The digest was computed as the bytes arrived and compared before the file got its name.
        step("verify", kind == "md5" ? "upgrade:MD5 OK" : "upgrade:SHA256 OK");
        if (interrupts_.check()) return failed("verify", "interrupted");

        if (!signature_.empty()) {
            if (const int s = check_signature(); s != kOk) return s;
            if (interrupts_.check()) return failed("signature", "interrupted");
        }

        if (RestoreUpgradePkg(fetched_.c_str(), complete_.c_str(), restore_type(type), status) != 0) {
            return failed("restore", status);
        }
        step("restore", status);
        if (!interrupts_.hand_over()) return failed("restore", "interrupted");
        if (type == "diff") unlink(fetched_.c_str());
        if (!signatureUrl_.empty()) unlink(signature_.c_str());
        // From here on no interruption stops the road: once the service accepts the package, the box installs it.

        char message[TBOX_START_MESSAGE_SIZE] = "";
        if (start_package(complete_, static_cast<uint8_t>(args_.integer("--flag")), message) != 0) {
            return failed("start", std::string("upgrade failed: ") + message);
        }
        step("start", message);

        if (record_version(version) != 0) return failed("version", "the version file was not updated");
        step("version", version);
        bound_ = false;
        if (UnbindUpgradeTask(args_.has("--reset-mcu") ? 1 : 0) != 0)
            return ctx_.fail("unbind: the service kept the binding");
        step("unbind", "ok");
        return kOk;
    }

private:
    // --signature names a file, or a URL whose signature is fetched beside the package.
    int take_signature_args() {
        if (args_.has("--signature") != args_.has("--public-key"))
            return ctx_.usage("give --signature and --public-key together");
        signature_ = args_.text("--signature");
        if (signature_.rfind("http://", 0) == 0 || signature_.rfind("https://", 0) == 0) {
            signatureUrl_ = signature_;
            signature_ = fetched_ + ".sig";
        } else if (!signature_.empty() && !g_file_test(signature_.c_str(), G_FILE_TEST_IS_REGULAR)) {
            return ctx_.usage("--signature: no file " + signature_);
        }
        return kOk;
    }

    // Fetches the package, its digest checked on the way (a mismatch is the verify step's failure). An
    // interruption ends the process at once, the partial file kept for the next run, which resumes it.
    int download(const std::string &kind, const std::string &digest) {
        TboxDownloadOptions options = download_options(args_);
        (kind == "md5" ? options.md5 : options.sha256) = digest.c_str();
        char status[TBOX_DOWNLOAD_STATUS_SIZE] = "";
        interrupts_.stop_at_once_with([this] {
            unlink(fetched_.c_str());  // complete, but not to be used: the road did not go on with it
            if (bound_) UnbindUpgradeTask(0);
            ctx_.fail("download: interrupted; the partial download is kept for the next run");
            std::fflush(nullptr);
            _exit(kFailed);
        });
        const int result = download_with_progress(args_.text("--url"), fetched_, options, status);
        interrupts_.stop_at_once_with(nullptr);
        if (result != 0) {
            const bool mismatch =
                std::strcmp(status, "upgrade:SHA256 error") == 0 || std::strcmp(status, "upgrade:MD5 error") == 0;
            return failed(mismatch ? "verify" : "download", status);
        }
        step("download", status);
        return kOk;
    }

    // With a release key given, only a package signed by it goes on; the signature is fetched first when
    // given as a URL.
    int check_signature() {
        char status[TBOX_DOWNLOAD_STATUS_SIZE] = "";
        if (!signatureUrl_.empty()) {
            TboxDownloadOptions options = download_options(args_);
            options.maxRateBytesPerSecond = 0;
            if (DownloadUpgradePkg(signatureUrl_.c_str(), signature_.c_str(), &options, status) != 0) {
                return failed("signature", std::string("refused, no signature: ") + trimmed(status));
            }
        }
        if (CheckUpgradePkgSignature(fetched_.c_str(), signature_.c_str(), args_.text("--public-key").c_str(),
                                     status) != 0) {
            return failed("signature", std::string("refused: ") + status);
        }
        step("signature", status);
        return kOk;
    }

    void step(const char *name, const std::string &status) {
        // In lines the steps are the keys of one record; in JSON each is an object of its own.
        if (ctx_.json) {
            ctx_.print_more(Answer().text("step", name).text("status", trimmed(status.c_str())));
        } else {
            ctx_.print_more(Answer().text(name, trimmed(status.c_str())));
        }
    }

    // Puts the box back as it was (files of this run removed, binding released) and reports the step.
    int failed(const char *name, const std::string &status) {
        unlink(fetched_.c_str());
        unlink(complete_.c_str());
        if (!signatureUrl_.empty()) unlink(signature_.c_str());
        if (bound_) UnbindUpgradeTask(0);
        bound_ = false;
        return ctx_.fail(std::string(name) + ": " + trimmed(status.c_str()));
    }

    Context &ctx_;
    const Args &args_;
    std::string fetched_, complete_;
    std::string signature_, signatureUrl_;  // the signature file (fetched from signatureUrl_ when given)
    bool bound_ = false;
    Interrupts interrupts_;
};

int run(Context &ctx, const Args &args) {
    for (const char *required : {"--url", "--version"}) {
        if (!args.has(required)) return ctx.usage(std::string("missing option ") + required);
    }
    return Road(ctx, args).run();
}

const char *const kDownloadDetails =
    "The bytes received so far are kept in PATH.part (described by PATH.part.meta, at least every 2 MiB):\n"
    "a download stopped by Ctrl-C, a kill or a lost connection resumes from there when run again with the\n"
    "same URL and PATH, unless the object on the server has changed. Transient failures are retried (with\n"
    "growing pauses) within --attempts and --deadline.";

const char *const kRunDetails =
    "The download resumes a partial one left by an earlier run (Ctrl-C, a kill, a lost connection) in the\n"
    "work directory. Its digest is computed as the bytes arrive and compared before the file gets its name;\n"
    "the verify line reports that comparison (a mismatch removes the partial file).\n"
    "With --public-key the package must carry a detached signature by that key (--signature, a file or a\n"
    "URL fetched beside the package); an unsigned or badly signed package is refused before restore, and\n"
    "nothing is handed over.\n"
    "A binding left by a process that no longer exists is reclaimed at bind (\"bind: reclaimed stale binding\n"
    "of pid N\" on stderr); one held by a running process refuses the road.\n"
    "Ctrl-C (or SIGTERM) before the package is handed over stops the road after the step under way and puts\n"
    "the box back as it was (exit status 1); a second one quits at once. During the download it stops at\n"
    "once and keeps the partial file (.part and .part.meta) so that the next run resumes it. Once the\n"
    "service has accepted the package the road runs to its end (version recorded, binding released):\n"
    "Ctrl-C then only prints that it is finishing.";

Param digest_option(const char *name, const char *help) {
    return option(name, Kind::Text, help);
}

constexpr long long kMaxDeadlineSeconds = 7LL * 24 * 3600;
constexpr long long kMaxRate = 1LL << 40;

std::vector<Param> with_transfer_options(std::vector<Param> params) {
    params.push_back(int_option("--attempts", 1, 100, "transfers tried in all, default 5"));
    params.push_back(int_option("--deadline", 1, kMaxDeadlineSeconds,
                                "give up after N seconds, retry pauses included, default 600"));
    params.push_back(int_option("--max-rate", 1, kMaxRate, "receive at most N bytes per second, default no cap"));
    return params;
}

}  // namespace

Command upgrade_commands() {
    return group(
        "upgrade", "The over-the-air upgrade road, step by step or whole.",
        {leaf("bind", "make this process the upgrade's owner (the service releases it when the process ends)", {},
              bind),
         leaf("unbind", "release the binding (only the bound process can)",
              {option("--reset-mcu", Kind::Flag, "reset the MCU on unbinding"),
               option("--stale", Kind::Flag,
                      "instead release a binding whose process no longer exists (a live one is kept)")},
              unbind),
         leaf("check", "is VERSION an upgrade for the box?",
              {arg("VERSION", Kind::Text, "eleven-digit target version")}, check),
         with_details(leaf("download", "fetch URL into PATH (http or https), resuming, with progress on stderr",
                           with_transfer_options(
                               {arg("URL", Kind::Text, "http:// or https:// address"),
                                arg("PATH", Kind::Path, "the file to write"),
                                option("--ca", Kind::File, "trust only the CA certificates in this PEM file")}),
                           download),
                      kDownloadDetails),
         leaf("verify", "compare a file's digest",
              {arg("FILE", Kind::File, "the file"), digest_option("--md5", "the expected MD5 (32 hex digits)"),
               digest_option("--sha256", "the expected SHA-256 (64 hex digits)")},
              verify),
         leaf("restore", "make the complete package: patch the box's previous package, or move a whole one",
              {choice("TYPE", "diff|whole", "the kind of fetched file"), arg("FETCHED", Kind::File, "the fetched file"),
               arg("COMPLETE", Kind::Path, "where the complete package goes")},
              restore),
         leaf("start", "hand a complete package to the upgrade service and wait for the outcome",
              {arg("PACKAGE", Kind::File, "the complete package"),
               int_option("--flag", 0, 255, "upgrade flag passed to the service, default 0")},
              start),
         with_details(
             leaf("run",
                  "the whole road: bind, check, download, verify, [signature,] restore, start, record the version, "
                  "unbind",
                  with_transfer_options(
                      {option("--url", Kind::Text, "where the package (or difference) is; required"),
                       option("--version", Kind::Version, "the package's version (eleven digits); required"),
                       digest_option("--md5", "MD5 of the fetched file"),
                       digest_option("--sha256", "SHA-256 of the fetched file"),
                       choice("--type", "diff|whole",
                              "a bsdiff difference against the box's package, or a whole package (default diff)"),
                       option(
                           "--dir", Kind::Dir,
                           "work directory for the fetched file and the package (default the box's upgrade directory)"),
                       int_option("--flag", 0, 255, "upgrade flag passed to the service, default 0"),
                       option("--ca", Kind::File, "trust only the CA certificates in this PEM file"),
                       option("--signature", Kind::Source,
                              "the package's detached signature: a file, or an http(s) URL to fetch"),
                       option("--public-key", Kind::File, "PEM public key the package must be signed by"),
                       option("--reset-mcu", Kind::Flag, "reset the MCU on unbinding")}),
                  run),
             kRunDetails),
         group("version", "The box's recorded software version.",
               {leaf("get", "the recorded version", {}, version_get),
                leaf("set", "record a version", {arg("VERSION", Kind::Version, "eleven digits, e.g. 00101003003")},
                     version_set)})});
}

}  // namespace tboxctl
