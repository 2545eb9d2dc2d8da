// ky.gnss: replays an NMEA log. Every sentence goes out as GpsOrignalUpdate; every RMC and GGA also
// updates the position and sends it as GpsParseredUpdate (the ten numbers of nmea::Fix, in order);
// GpsSyncTime(1) follows once per fix, when the fix is valid and dated by its own epoch's RMC. Sentences
// are paced by their UTC time (divided by --speed). Bad sentences are reported with file and line and
// skipped (docs/simulator.md, "NMEA rules").
#include <tbox/gnss_gdbus.h>

#include <fstream>
#include <vector>

#include "gnss_source.h"
#include "nmea.h"
#include "sim.h"

namespace tbox::sim {
namespace {

// A gap in the log longer than this (receiver off, or the log cut) is replayed as one second.
constexpr int64_t kLongestGapMs = 10000;

class GnssService : public Service {
public:
    explicit GnssService(Hub &hub) : Service(hub), skeleton_(ky_gnss_skeleton_new()) {
        g_signal_connect(skeleton_.get(), "handle-get-gps-data",
                         handler(+[](KyGnss *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                             ky_gnss_complete_get_gps_data(o, inv, static_cast<GnssService *>(self)->record());
                             return TRUE;
                         }),
                         this);
        on("start", "file:s?", "replays an NMEA log from its start (default: the --nmea log)", [this](const Args &a) {
            const std::string file = a.has(0) ? a.text(0) : hub_.options().nmea;
            if (file.empty()) return std::string("no log given (and no --nmea)");
            return start_log(file);
        });
        on("stop", "", "stops the replay; the last position stays", [this](const Args &) {
            stop_log();
            return "";
        });
        on("sentence", "text:s", "handles one sentence as if it came from the receiver",
           [this](const Args &a) { return handle(a.text(0), "event", 0); });
        on("sync", "value:i", "emits GpsSyncTime(value)", [this](const Args &a) {
            ky_gnss_emit_gps_sync_time(skeleton_.get(), a.integer(0));
            return "";
        });
    }
    const char *prefix() const override { return "gnss"; }
    const char *bus_name() const override { return "ky.gnss"; }
    const char *object_path() const override { return "/ky/gnss"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

    std::string start() override {
        // A receiver's lines take the log's road: the same signals, records and complaints.
        device_ = start_gnss_source(
            hub_, [this](const std::string &line, const std::string &source, int n) { handle(line, source, n); });
        if (hub_.options().nmea.empty()) return "";
        return start_log(hub_.options().nmea);
    }

private:
    GVariant *record() const {
        const auto r = nmea::to_record(track_.fix);
        return g_variant_new("(iiiiiiiiii)", r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9]);
    }

    std::string start_log(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        if (!in) return "cannot read NMEA log " + file;
        stop_log();
        file_ = file;
        std::string line;
        while (std::getline(in, line)) lines_.push_back(line);
        hub_.say("gnss: replaying " + file + " (" + std::to_string(lines_.size()) + " lines)");
        timers_.after(0, [this] { step(); });
        return "";
    }

    void stop_log() {
        timers_.cancel_all();
        lines_.clear();
        next_ = 0;
        epoch_ms_ = -1;
    }

    // Sends the sentences of the current epoch, then waits for the next epoch's time.
    void step() {
        while (next_ < lines_.size()) {
            const std::string &line = lines_[next_];
            const int64_t t = first_time_of_day_ms(line);
            if (t >= 0 && epoch_ms_ >= 0 && t != epoch_ms_) {
                int64_t gap = t - epoch_ms_;
                if (gap < 0) gap += 86400000;  // past midnight
                if (gap > kLongestGapMs) gap = 1000;
                epoch_ms_ = t;
                const double speed = hub_.options().speed > 0 ? hub_.options().speed : 1;
                timers_.after(static_cast<unsigned>(static_cast<double>(gap) / speed), [this] { step(); });
                return;
            }
            if (t >= 0) epoch_ms_ = t;
            ++next_;
            handle(line, file_, static_cast<int>(next_));
        }
        hub_.say("gnss: end of " + file_);
    }

    // The UTC time of day of the line's first RMC or GGA, or -1: a line holds one epoch's start at most.
    static int64_t first_time_of_day_ms(const std::string &line) {
        for (const nmea::Piece &piece : nmea::parse_line(line)) {
            const int64_t t = piece.error.empty() ? nmea::time_of_day_ms(piece.sentence) : -1;
            if (t >= 0) return t;
        }
        return -1;
    }

    // One line from the receiver: "" or why (the first thing) was skipped. Each sentence in it goes out
    // as it came; RMC and GGA also move the position.
    std::string handle(const std::string &line, const std::string &file, int line_no) {
        const std::string where = file + ":" + std::to_string(line_no) + ": ";
        std::string first_error;
        for (const nmea::Piece &piece : nmea::parse_line(line)) {
            std::string error = piece.error;
            if (error.empty()) {
                error = handle_sentence(piece.sentence, where);
            } else {
                hub_.complain(where + error + " (skipped)");
            }
            if (first_error.empty()) first_error = error;
        }
        return first_error;
    }

    std::string handle_sentence(const nmea::Sentence &s, const std::string &where) {
        ky_gnss_emit_gps_orignal_update(skeleton_.get(), s.text.c_str());
        std::string error = nmea::apply(s, track_);
        if (error == "-") return "";
        if (!error.empty()) {
            hub_.complain(where + error + " (position not updated)");
            return error;
        }
        ky_gnss_emit_gps_parsered_update(skeleton_.get(), record());
        if (track_.fix.valid == 0) {
            synced_ = false;
        } else if (!synced_ && track_.fix.date != 0) {
            synced_ = true;
            ky_gnss_emit_gps_sync_time(skeleton_.get(), 1);
        }
        return "";
    }

    GObjectPtr<KyGnss> skeleton_;
    nmea::Track track_;
    bool synced_ = false;
    std::string file_;
    std::vector<std::string> lines_;
    size_t next_ = 0;
    int64_t epoch_ms_ = -1;
    std::unique_ptr<GnssSource> device_;
};

}  // namespace

std::unique_ptr<Service> make_gnss_service(Hub &hub) {
    return std::make_unique<GnssService>(hub);
}

}  // namespace tbox::sim
