// ky.param: typed parameters by index. Type 1 holds an integer whose value must lie within [min, max];
// type 2 holds text whose length must lie within [min, max]. With --state DIR every change is written
// to DIR/param.state (whole file replaced atomically), read back at the next start.
#include <tbox/param_gdbus.h>

#include <cstdio>
#include <map>

#include "sim.h"

namespace tbox::sim {
namespace {

constexpr int kInteger = 1;
constexpr int kText = 2;
constexpr int kTextRoom = 1023;  // the client's write buffer holds 1023 characters

struct Param {
    int type;
    int min;
    int max;
    std::string value;
};

std::map<int, Param> defaults() {
    return {
        {1, {kInteger, 10, 600, "30"}},             // heartbeat period, s
        {2, {kInteger, 1, 3600, "10"}},             // real-time report period, s
        {3, {kText, 1, 64, "tsp.example.com"}},     // platform host
        {4, {kInteger, 1, 65535, "8883"}},          // platform port
        {5, {kText, 0, 32, "cmnet"}},               // APN
        {6, {kText, 17, 17, "LSVAU2180N2183294"}},  // VIN
        {7, {kInteger, 0, 86400, "300"}},           // delay before sleep, s
        {8, {kText, 1, 32, "TBOX-SIM-0001"}},       // terminal id
        {9, {kInteger, 0, 7, "6"}},                 // log level
        {10, {kInteger, 0, 1, "1"}},                // GB upload on
    };
}

class ParamService : public Service {
public:
    explicit ParamService(Hub &hub) : Service(hub), skeleton_(ky_param_skeleton_new()), params_(defaults()) {
        if (!hub.options().state_dir.empty()) {
            path_ = hub.options().state_dir + "/param.state";
            load();
        }
        g_signal_connect(skeleton_.get(), "handle-get-param-type",
                         handler(+[](KyParam *o, GDBusMethodInvocation *inv, gint index, gpointer self) -> gboolean {
                             const Param *p = static_cast<ParamService *>(self)->find(index, inv);
                             if (p != nullptr) ky_param_complete_get_param_type(o, inv, p->type);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(skeleton_.get(), "handle-get-param",
                         handler(+[](KyParam *o, GDBusMethodInvocation *inv, gint index, gpointer self) -> gboolean {
                             const Param *p = static_cast<ParamService *>(self)->find(index, inv);
                             if (p != nullptr) ky_param_complete_get_param(o, inv, p->value.c_str());
                             return TRUE;
                         }),
                         this);
        g_signal_connect(skeleton_.get(), "handle-set-param",
                         handler(+[](KyParam *o, GDBusMethodInvocation *inv, gint index, const gchar *value,
                                     gpointer self) -> gboolean {
                             auto *service = static_cast<ParamService *>(self);
                             if (service->find(index, inv) == nullptr) return TRUE;
                             const std::string error = service->set(index, value);
                             if (!error.empty()) return refuse(inv, "ky.param.Error.InvalidValue", error);
                             ky_param_complete_set_param(o, inv);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(skeleton_.get(), "handle-set-param-max-min",
                         handler(+[](KyParam *o, GDBusMethodInvocation *inv, gint index, gint max, gint min,
                                     gpointer self) -> gboolean {
                             auto *service = static_cast<ParamService *>(self);
                             if (service->find(index, inv) == nullptr) return TRUE;
                             const std::string error = service->set_limits(index, max, min);
                             if (!error.empty()) return refuse(inv, "ky.param.Error.InvalidLimits", error);
                             ky_param_complete_set_param_max_min(o, inv);
                             return TRUE;
                         }),
                         this);
        on("set", "index:i value:s", "sets a parameter as the platform would (limits apply)",
           [this](const Args &a) -> std::string {
               if (params_.count(a.integer(0)) == 0) return "no parameter " + std::to_string(a.integer(0));
               return set(a.integer(0), a.text(1));
           });
    }
    const char *prefix() const override { return "param"; }
    const char *bus_name() const override { return "ky.param"; }
    const char *object_path() const override { return "/ky/param"; }
    GDBusInterfaceSkeleton *skeleton() override { return G_DBUS_INTERFACE_SKELETON(skeleton_.get()); }

private:
    const Param *find(int index, GDBusMethodInvocation *invocation) const {
        const auto it = params_.find(index);
        if (it != params_.end()) return &it->second;
        refuse(invocation, "ky.param.Error.UnknownParameter", "no parameter " + std::to_string(index));
        return nullptr;
    }

    static std::string check(const Param &p, const std::string &value) {
        if (p.type == kInteger) {
            int v = 0;
            if (!parse_int(value, v) || value.find_first_of("xX") != std::string::npos) {
                return "\"" + value + "\" is not a decimal integer";
            }
            if (v < p.min || v > p.max) {
                return std::to_string(v) + " is outside " + std::to_string(p.min) + ".." + std::to_string(p.max);
            }
            return "";
        }
        const auto length = static_cast<long>(value.size());
        if (length < p.min || length > p.max) {
            return "text of " + std::to_string(length) + " characters; this parameter takes " + std::to_string(p.min) +
                   ".." + std::to_string(p.max);
        }
        return "";
    }

    std::string set(int index, const std::string &value) {
        Param &p = params_.at(index);
        const std::string error = check(p, value);
        if (!error.empty()) return "parameter " + std::to_string(index) + ": " + error;
        // Integers are kept in their plain decimal form ("007" is stored as 7).
        p.value = p.type == kInteger ? std::to_string(std::stoi(value)) : value;
        save();
        return "";
    }

    std::string set_limits(int index, int max, int min) {
        Param &p = params_.at(index);
        if (max < min) return "max " + std::to_string(max) + " is below min " + std::to_string(min);
        if (p.type == kText && (min < 0 || max > kTextRoom)) return "text lengths must lie within 0..1023";
        // The value stays as it is; the limits apply from the next SetParam on.
        p.min = min;
        p.max = max;
        save();
        return "";
    }

    // One line per parameter: "index type min max value", the value escaped as in C strings.
    void save() {
        if (path_.empty()) return;
        std::string text = "# tbox-simd parameters: index type min max value\n";
        for (const auto &[index, p] : params_) {
            gchar *escaped = g_strescape(p.value.c_str(), nullptr);
            text += std::to_string(index) + " " + std::to_string(p.type) + " " + std::to_string(p.min) + " " +
                    std::to_string(p.max) + " " + escaped + "\n";
            g_free(escaped);
        }
        GError *error = nullptr;
        // Written to a temporary file and renamed over the old one: a crash leaves one or the other.
        if (!g_file_set_contents(path_.c_str(), text.c_str(), static_cast<gssize>(text.size()), &error)) {
            hub_.complain("cannot save parameters: " + std::string(error->message));
            g_error_free(error);
        }
    }

    void load() {
        gchar *contents = nullptr;
        if (!g_file_get_contents(path_.c_str(), &contents, nullptr, nullptr)) return;  // first start: defaults
        gchar **lines = g_strsplit(contents, "\n", -1);
        g_free(contents);
        int line_no = 0;
        for (gchar **line = lines; *line != nullptr; ++line) {
            ++line_no;
            if (**line == '\0' || **line == '#') continue;
            int index = 0, type = 0, min = 0, max = 0, used = -1;
            if (std::sscanf(*line, "%d %d %d %d%n", &index, &type, &min, &max, &used) != 4 || (*line)[used] != ' ' ||
                (type != kInteger && type != kText) || max < min) {
                hub_.complain(path_ + ":" + std::to_string(line_no) + ": not \"index type(1|2) min max value\"" +
                              " (line skipped)");
                continue;
            }
            gchar *value = g_strcompress(*line + used + 1);
            Param p{type, min, max, value};
            g_free(value);
            const std::string error = check(p, p.value);
            if (!error.empty()) {
                hub_.complain(path_ + ":" + std::to_string(line_no) + ": " + error + " (line skipped)");
                continue;
            }
            params_[index] = p;
        }
        g_strfreev(lines);
        hub_.say("parameters from " + path_);
    }

    GObjectPtr<KyParam> skeleton_;
    std::map<int, Param> params_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Service> make_param_service(Hub &hub) {
    return std::make_unique<ParamService>(hub);
}

}  // namespace tbox::sim
