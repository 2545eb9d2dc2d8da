#include "sim.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tbox::sim {

void Journal::add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() == kLimit) entries_.pop_front();  // a simulator may run for days
    entries_.push_back(std::move(entry));
}

std::vector<std::string> Journal::matching(const std::string &prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &e : entries_) {
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    }
    return out;
}

void Journal::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

bool parse_int(const std::string &text, int &out) {
    if (text.empty() || text.size() > 24) return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end != text.c_str() + text.size() || g_ascii_isspace(text[0])) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_real(const std::string &text, double &out) {
    if (text.empty() || text.size() > 64 || g_ascii_isspace(text[0])) return false;
    char *end = nullptr;
    const double v = g_ascii_strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool parse_bool(const std::string &text, bool &out) {
    if (text == "1" || text == "true" || text == "on") {
        out = true;
    } else if (text == "0" || text == "false" || text == "off") {
        out = false;
    } else {
        return false;
    }
    return true;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> &out) {
    out.clear();
    if (text == "-") return true;
    if (text.empty() || text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = g_ascii_xdigit_value(text[i]);
        const int lo = g_ascii_xdigit_value(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

std::string to_hex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

int Args::integer(size_t i) const {
    int v = 0;
    parse_int(text(i), v);
    return v;
}

double Args::real(size_t i) const {
    double v = 0;
    parse_real(text(i), v);
    return v;
}

bool Args::boolean(size_t i) const {
    bool v = false;
    parse_bool(text(i), v);
    return v;
}

std::vector<uint8_t> Args::bytes(size_t i) const {
    std::vector<uint8_t> v;
    parse_hex(text(i), v);
    return v;
}

std::string check_args(const std::string &params, const std::vector<std::string> &tokens) {
    gchar **params_list = g_strsplit(params.c_str(), " ", -1);
    std::string error;
    size_t required = 0, total = 0;
    bool optional = false;
    for (gchar **s = params_list; *s != nullptr; ++s) {
        if (**s == '\0') continue;
        const std::string param = *s;
        const size_t colon = param.find(':');
        const std::string name = param.substr(0, colon);
        const char kind = colon + 1 < param.size() ? param[colon + 1] : 's';
        if (param.back() == '?') optional = true;
        if (!optional) ++required;
        const size_t i = total++;
        if (i >= tokens.size() || !error.empty()) continue;
        const std::string &t = tokens[i];
        int iv = 0;
        double dv = 0;
        bool bv = false;
        std::vector<uint8_t> xv;
        const bool ok = kind == 'i'   ? parse_int(t, iv)
                        : kind == 'd' ? parse_real(t, dv)
                        : kind == 'b' ? parse_bool(t, bv)
                        : kind == 'x' ? parse_hex(t, xv)
                                      : true;
        if (!ok) {
            const char *what = kind == 'i'   ? "an integer"
                               : kind == 'd' ? "a number"
                               : kind == 'b' ? "a boolean (0/1)"
                                             : "hex bytes (e.g. A1B2, - for none)";
            error = name;
            error.append(" must be ").append(what).append(", not \"").append(t).append("\"");
        }
    }
    g_strfreev(params_list);
    if (!error.empty()) return error;
    if (tokens.size() < required || tokens.size() > total) {
        return "takes " +
               (required == total ? std::to_string(total) : std::to_string(required) + " to " + std::to_string(total)) +
               " argument" + (total == 1 ? "" : "s") + " (" + params + "), got " + std::to_string(tokens.size());
    }
    return "";
}

Timers::Timers() : context_(g_main_context_ref_thread_default()) {}

Timers::~Timers() {
    cancel_all();
    g_main_context_unref(context_);
}

unsigned Timers::add(unsigned ms, std::function<bool()> fn) {
    // Drop the records of sources that have run their course.
    for (auto it = sources_.begin(); it != sources_.end();) {
        if (g_source_is_destroyed(it->second)) {
            g_source_unref(it->second);
            it = sources_.erase(it);
        } else {
            ++it;
        }
    }
    GSource *source = g_timeout_source_new(ms);
    using Fn = std::function<bool()>;
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean { return (*static_cast<Fn *>(data))() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE; },
        new Fn(std::move(fn)), [](gpointer data) { delete static_cast<Fn *>(data); });
    const unsigned id = g_source_attach(source, context_);
    sources_.emplace_back(id, source);  // keeps the reference
    return id;
}

unsigned Timers::after(unsigned ms, std::function<void()> fn) {
    return add(ms, [fn = std::move(fn)] {
        fn();
        return false;
    });
}

unsigned Timers::every(unsigned ms, std::function<bool()> fn) {
    return add(ms, std::move(fn));
}

void Timers::cancel(unsigned handle) {
    for (auto it = sources_.begin(); it != sources_.end(); ++it) {
        if (it->first == handle) {
            g_source_destroy(it->second);
            g_source_unref(it->second);
            sources_.erase(it);
            return;
        }
    }
}

void Timers::cancel_all() {
    for (auto &[id, source] : sources_) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    sources_.clear();
}

gboolean refuse(GDBusMethodInvocation *invocation, const char *error_name, const std::string &message) {
    g_dbus_method_invocation_return_dbus_error(invocation, error_name, message.c_str());
    return TRUE;
}

}  // namespace tbox::sim
