#include "cli.h"

#include <glib-unix.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace tboxctl {

// --- the table's building blocks -------------------------------------------------------------------

Param arg(const char *name, Kind kind, const char *help) {
    Param p;
    p.name = name;
    p.kind = kind;
    p.help = help;
    return p;
}

Param int_arg(const char *name, long long min, long long max, const char *help) {
    Param p = arg(name, Kind::Int, help);
    p.min = min;
    p.max = max;
    return p;
}

Param optional_arg(Param p) {
    p.optional = true;
    return p;
}

Param option(const char *name, Kind kind, const char *help) {
    return arg(name, kind, help);
}

Param int_option(const char *name, long long min, long long max, const char *help) {
    return int_arg(name, min, max, help);
}

Param choice(const char *name, const char *choices, const char *help) {
    Param p = arg(name, Kind::Choice, help);
    p.choices = choices;
    return p;
}

Command leaf(const char *name, const char *summary, std::vector<Param> params, Handler run) {
    return Command{name, summary, std::move(params), run, {}};
}

Command group(const char *name, const char *summary, std::vector<Command> children) {
    return Command{name, summary, {}, nullptr, std::move(children)};
}

Command with_details(Command command, const char *details) {
    command.details = details;
    return command;
}

// --- checked values ----------------------------------------------------------------------------------

bool Args::has(const std::string &name) const {
    for (const auto &v : values_) {
        if (v.first == name) return true;
    }
    return false;
}

const std::string &Args::text(const std::string &name) const {
    static const std::string kNone;
    for (const auto &v : values_) {
        if (v.first == name) return v.second;
    }
    return kNone;
}

namespace {

// A decimal or 0x hexadecimal integer, optionally negative; no blanks, no "+", and a leading 0 is not octal
// (a user who writes 010 means ten). False for anything else, and for a value outside long long (then
// `overflow` is set).
bool parse_integer(const std::string &text, long long &out, bool *overflow = nullptr) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string digits = text.substr(negative ? 1 : 0);
    const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const std::string body = hex ? digits.substr(2) : digits;
    const bool well_formed = !body.empty() && std::all_of(body.begin(), body.end(), [hex](char c) {
        return hex ? g_ascii_isxdigit(c) != 0 : g_ascii_isdigit(c) != 0;
    });
    if (!well_formed) return false;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(body.c_str(), nullptr, hex ? 16 : 10);
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : static_cast<unsigned long long>(LLONG_MAX);
    if (errno == ERANGE || magnitude > limit) {
        if (overflow != nullptr) *overflow = true;
        return false;
    }
    out = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return true;
}

}  // namespace

long long Args::integer(const std::string &name, long long fallback) const {
    long long value = fallback;
    if (has(name)) parse_integer(text(name), value);
    return value;
}

std::vector<uint8_t> Args::bytes(const std::string &name) const {
    const std::string &hex = text(name);
    std::vector<uint8_t> out;
    if (hex == "-") return out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(g_ascii_xdigit_value(hex[i]) * 16 + g_ascii_xdigit_value(hex[i + 1])));
    }
    return out;
}

void Args::set(const std::string &name, const std::string &value) {
    values_.emplace_back(name, value);
}

// --- answers -----------------------------------------------------------------------------------------

Answer &Answer::text(const std::string &key, const std::string &value) {
    fields_.push_back({key, value, Form::Quoted});
    return *this;
}

Answer &Answer::number(const std::string &key, long long value) {
    fields_.push_back({key, std::to_string(value), Form::Bare});
    return *this;
}

Answer &Answer::decimal(const std::string &key, double value, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, value);
    fields_.push_back({key, buf, Form::Bare});
    return *this;
}

Answer &Answer::boolean(const std::string &key, bool value) {
    fields_.push_back({key, value ? "true" : "false", Form::Bare});
    return *this;
}

Answer &Answer::unknown(const std::string &key) {
    fields_.push_back({key, "unknown", Form::Unknown});
    return *this;
}

Answer &Answer::none(const std::string &key) {
    fields_.push_back({key, "", Form::None});
    return *this;
}

std::string Answer::lines() const {
    std::string out;
    for (const auto &f : fields_) {
        if (f.form != Form::None) out += f.key + ": " + f.value + "\n";
    }
    return out;
}

namespace {

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", u);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// JSON text is UTF-8: a byte sequence that is not (a text cut inside a character by a fixed-size field, a
// path in another encoding) becomes U+FFFD, one per bad byte, instead of making the whole line unreadable.
std::string valid_utf8(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    const char *p = s.data();
    const char *const end = p + s.size();
    while (p < end) {
        const gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            out += "\xEF\xBF\xBD";
            ++p;
            continue;
        }
        const char *next = g_utf8_next_char(p);
        out.append(p, next);
        p = next;
    }
    return out;
}

}  // namespace

std::string Answer::json() const {
    std::string out = "{";
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i > 0) out += ", ";
        out += json_string(valid_utf8(fields_[i].key)) + ": ";
        switch (fields_[i].form) {
            case Form::Quoted:
                out += json_string(valid_utf8(fields_[i].value));
                break;
            case Form::Bare:
                out += fields_[i].value;
                break;
            case Form::Unknown:
            case Form::None:
                out += "null";
                break;
        }
    }
    return out + "}\n";
}

void Context::print(const Answer &answer) const {
    // Records in lines are stanzas, as the distributions' network and modem tools print them: a blank line
    // between two, none after the last (so a single answer is just its lines).
    if (printed && !json) std::fputc('\n', stdout);
    print_more(answer);
}

void Context::print_more(const Answer &answer) const {
    const std::string text = json ? answer.json() : answer.lines();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    printed = true;
}

int Context::fail(const std::string &what) const {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), what.c_str());
    return kFailed;
}

int Context::usage(const std::string &what) const {
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", path.c_str(), what.c_str(), path.c_str());
    return kUsage;
}

// --- watch loops -------------------------------------------------------------------------------------

namespace {

struct WatchState {
    GMainLoop *loop = nullptr;
    const Context *ctx = nullptr;
    long long limit = 0;
    long long seen = 0;
};
WatchState g_watch;
std::atomic<bool> g_stop{false};

gboolean on_stop(gpointer) {
    g_stop = true;
    if (g_watch.loop != nullptr) g_main_loop_quit(g_watch.loop);
    return G_SOURCE_CONTINUE;
}

}  // namespace

void catch_stop_signals() {
    g_unix_signal_add(SIGINT, on_stop, nullptr);
    g_unix_signal_add(SIGTERM, on_stop, nullptr);
}

bool stop_requested() {
    // Polling watches do not run the main loop: look at the signal sources here.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return g_stop;
}

void watch_event(const Answer &answer) {
    if (g_watch.ctx == nullptr) return;
    if (g_watch.limit > 0 && g_watch.seen >= g_watch.limit) return;
    g_watch.ctx->print(answer);
    ++g_watch.seen;
    if (g_watch.limit > 0 && g_watch.seen >= g_watch.limit) g_main_loop_quit(g_watch.loop);
}

int watch(Context &ctx, long long count) {
    catch_stop_signals();
    g_watch.loop = g_main_loop_new(nullptr, FALSE);
    g_watch.ctx = &ctx;
    g_watch.limit = count;
    if (!g_stop) g_main_loop_run(g_watch.loop);
    g_main_loop_unref(g_watch.loop);
    g_watch.loop = nullptr;
    g_watch.ctx = nullptr;
    return kOk;
}

// --- parsing and help --------------------------------------------------------------------------------

namespace {

const Param kGlobalOptions[] = {
    {"--json", Kind::Flag, false, "one JSON object per answer (per event line for watch)"},
    {"--address", Kind::Text, false, "bus address to use instead of the system bus"},
    {"--verbose", Kind::Flag, false, "also show the library's own diagnostic lines (on stderr)"},
    {"--help", Kind::Flag, false, "show help for this command"},
};

}  // namespace

const char *const kExitStatusText =
    "0 success, 1 failure reported by the box, 2 bad usage (nothing changed on the box)";

const std::vector<Param> &common_options() {
    static const std::vector<Param> kAll(std::begin(kGlobalOptions), std::end(kGlobalOptions));
    return kAll;
}

namespace {

bool is_option(const Param &p) {
    return std::strncmp(p.name, "--", 2) == 0;
}

std::string metavar(const Param &p) {
    switch (p.kind) {
        case Kind::Flag:
            return "";
        case Kind::Int:
            return "N";
        case Kind::Hex:
            return "HEX";
        case Kind::File:
        case Kind::Path:
            return "PATH";
        case Kind::Dir:
            return "DIR";
        case Kind::Source:
            return "PATH|URL";
        case Kind::Choice:
            return p.choices;
        case Kind::Version:
            return "VERSION";
        case Kind::Text:
            return std::strcmp(p.name, "--address") == 0 ? "ADDR" : "TEXT";
    }
    return "";
}

}  // namespace

std::string synopsis(const Command &cmd) {
    std::string s;
    bool has_options = false;
    for (const auto &p : cmd.params) {
        if (is_option(p)) {
            has_options = true;
            continue;
        }
        s += p.optional ? std::string(" [") + p.name + "]" : std::string(" ") + p.name;
    }
    return (has_options ? " [options]" : "") + s;
}

std::string param_label(const Param &p) {
    std::string label = p.name;
    if (is_option(p) && p.kind != Kind::Flag) label += " " + metavar(p);
    return label;
}

std::string param_help(const Param &p) {
    std::string help = p.help;
    if (p.kind == Kind::Int) help += " (" + std::to_string(p.min) + " to " + std::to_string(p.max) + ")";
    if (p.kind == Kind::Choice && !is_option(p)) help += " (" + std::string(p.choices) + ")";
    return help;
}

namespace {

void print_param(FILE *out, const Param &p) {
    std::fprintf(out, "  %-22s %s\n", param_label(p).c_str(), param_help(p).c_str());
}

void print_help(const Command &cmd, const std::string &path) {
    FILE *out = stdout;
    if (cmd.run == nullptr) {
        std::fprintf(out, "Usage: %s [--json] [--address ADDR] <command> ...\n\n%s\n\nCommands:\n", path.c_str(),
                     cmd.summary);
        for (const auto &child : cmd.children) {
            std::string left = child.name;
            if (child.run != nullptr) left += synopsis(child);
            if (left.size() > 30) left = child.name;
            std::fprintf(out, "  %-30s %s\n", left.c_str(), child.summary);
        }
        std::fprintf(out, "\nRun '%s <command> --help' for a command's arguments.\n", path.c_str());
    } else {
        std::fprintf(out, "Usage: %s%s\n\n%s\n", path.c_str(), synopsis(cmd).c_str(), cmd.summary);
        if (cmd.details != nullptr) std::fprintf(out, "\n%s\n", cmd.details);
        bool any = false;
        for (const auto &p : cmd.params) {
            if (is_option(p)) continue;
            if (!any) std::fprintf(out, "\nArguments:\n");
            any = true;
            print_param(out, p);
        }
        any = false;
        for (const auto &p : cmd.params) {
            if (!is_option(p)) continue;
            if (!any) std::fprintf(out, "\nOptions:\n");
            any = true;
            print_param(out, p);
        }
    }
    std::fprintf(out, "\nCommon options:\n");
    for (const auto &p : kGlobalOptions) print_param(out, p);
    std::fprintf(out, "\nExit status: %s.\n", kExitStatusText);
}

// Checks `value` against `p`; "" or the problem.
std::string check(const Param &p, const std::string &value) {
    const std::string name = p.name;
    switch (p.kind) {
        case Kind::Flag:
            return "";
        case Kind::Text:
            // The library refuses such a text itself, but only once the call is under way; and D-Bus cannot
            // carry it. Saying so here keeps it bad usage, with nothing sent.
            if (g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr) == FALSE)
                return name + " is not valid UTF-8";
            return "";
        case Kind::Int: {
            if (value.empty()) return name + ": empty value";
            long long v = 0;
            bool overflow = false;
            const bool number = parse_integer(value, v, &overflow);
            if (!number && !overflow) return name + ": '" + value + "' is not a number";
            if (!number || v < p.min || v > p.max) {
                return name + ": " + value + " is out of range (" + std::to_string(p.min) + " to " +
                       std::to_string(p.max) + ")";
            }
            return "";
        }
        case Kind::Hex: {
            if (value == "-") return "";
            const bool hex = std::all_of(value.begin(), value.end(), [](char c) { return g_ascii_isxdigit(c); });
            if (!hex) return name + ": '" + value + "' is not hex bytes";
            if (value.empty()) return name + ": no hex bytes (write - for none)";
            if (value.size() % 2 != 0) return name + ": odd number of hex digits in '" + value + "'";
            return "";
        }
        case Kind::File: {
            struct stat st {};
            if (stat(value.c_str(), &st) != 0) return name + ": " + value + ": " + std::strerror(errno);
            return "";
        }
        case Kind::Path: {
            const size_t slash = value.rfind('/');
            const std::string dir = slash == std::string::npos ? "." : value.substr(0, slash == 0 ? 1 : slash);
            struct stat st {};
            if (value.empty()) return name + ": empty path";
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return name + ": no directory " + dir;
            return "";
        }
        case Kind::Dir: {
            struct stat st {};
            if (stat(value.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return name + ": no directory " + value;
            return "";
        }
        case Kind::Source: {
            if (value.rfind("http://", 0) == 0 || value.rfind("https://", 0) == 0) return "";
            struct stat st {};
            if (stat(value.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return name + ": no file " + value;
            return "";
        }
        case Kind::Choice: {
            const std::string words = std::string("|") + p.choices + "|";
            if (value.empty() || words.find("|" + value + "|") == std::string::npos) {
                return name + ": '" + value + "' is not one of " + p.choices;
            }
            return "";
        }
        case Kind::Version: {
            const bool digits = std::all_of(value.begin(), value.end(), [](char c) { return g_ascii_isdigit(c); });
            if (value.size() != 11 || !digits) return name + ": '" + value + "' is not eleven digits";
            return "";
        }
    }
    return "";
}

void discard_print(const gchar *) {}
void print_to_stderr(const gchar *text) {
    std::fputs(text, stderr);
}

}  // namespace

int run_command_line(int argc, char **argv) {
    const Command &root = command_table();
    Context ctx;
    ctx.path = "tboxctl";
    const Command *cmd = &root;
    bool help = false;
    std::string address;
    Args args;
    size_t positional = 0;
    bool only_positional = false;
    if (argc == 2 && std::strcmp(argv[1], "--help-roff") == 0) {
        // Hidden: the build writes the manual page with it.
        std::fputs(man_page(root).c_str(), stdout);
        return kOk;
    }
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        help = help || std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    }

    for (int i = 1; i < argc; ++i) {
        if (help && cmd->run != nullptr) break;  // the command is known: its help needs no valid arguments
        std::string token = argv[i];
        if (!only_positional && token == "--") {
            only_positional = true;
            continue;
        }
        if (!only_positional && token.size() > 1 && token[0] == '-' &&
            !(cmd->run != nullptr && g_ascii_isdigit(token[1]))) {
            std::string value;
            bool inline_value = false;
            const size_t eq = token.find('=');
            if (eq != std::string::npos) {
                value = token.substr(eq + 1);
                token.resize(eq);
                inline_value = true;
            }
            if (token == "--help" || token == "-h") {
                help = true;
                continue;
            }
            if (token == "--json" || token == "--verbose") {
                if (inline_value) return ctx.usage(token + " takes no value");
                (token == "--json" ? ctx.json : ctx.verbose) = true;
                continue;
            }
            const Param *found = nullptr;
            if (token != "--address") {
                for (const auto &p : cmd->params) {
                    if (is_option(p) && token == p.name) found = &p;
                }
                if (found == nullptr) return ctx.usage("unknown option " + token);
            }
            const bool takes_value = found == nullptr || found->kind != Kind::Flag;
            if (!takes_value && inline_value) return ctx.usage(token + " takes no value");
            if (takes_value && !inline_value) {
                if (i + 1 >= argc) return ctx.usage(token + " needs a value");
                value = argv[++i];
            }
            if (found == nullptr) {
                address = value;
                continue;
            }
            const std::string problem = check(*found, value);
            if (!problem.empty()) return ctx.usage(problem);
            args.set(found->name, value);
            continue;
        }
        if (cmd->run == nullptr) {
            const Command *next = nullptr;
            for (const auto &child : cmd->children) {
                if (token == child.name) next = &child;
            }
            if (next == nullptr) {
                if (help) break;
                return ctx.usage("unknown command '" + token + "'");
            }
            cmd = next;
            ctx.path += " " + token;
            continue;
        }
        const Param *slot = nullptr;
        size_t seen = 0;
        for (const auto &p : cmd->params) {
            if (is_option(p)) continue;
            if (seen++ == positional) slot = &p;
        }
        if (slot == nullptr) return ctx.usage("unexpected argument '" + token + "'");
        const std::string problem = check(*slot, token);
        if (!problem.empty()) return ctx.usage(problem);
        args.set(slot->name, token);
        ++positional;
    }

    if (help) {
        print_help(*cmd, ctx.path);
        return kOk;
    }
    if (cmd->run == nullptr) {
        std::string names;
        for (const auto &child : cmd->children) names += (names.empty() ? "" : ", ") + std::string(child.name);
        return ctx.usage("missing command (" + names + ")");
    }
    for (const auto &p : cmd->params) {
        if (!is_option(p) && !p.optional && !args.has(p.name))
            return ctx.usage("missing argument " + std::string(p.name));
    }

    // The library opens the system bus; pointing it elsewhere must happen before any GIO use.
    if (!address.empty()) g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), TRUE);
    // Some clients print diagnostics with g_print: keep them off stdout, where the answers go.
    g_set_print_handler(ctx.verbose ? print_to_stderr : discard_print);
    return cmd->run(ctx, args);
}

// --- bash completion ---------------------------------------------------------------------------------

namespace {

void completion_cases(const Command &cmd, const std::string &path, std::string &cases, std::string &valued,
                      std::string &choices) {
    std::string words;
    bool files = false;
    if (cmd.run == nullptr) {
        for (const auto &child : cmd.children) words += std::string(child.name) + " ";
    } else {
        for (const auto &p : cmd.params) {
            if (is_option(p)) {
                words += std::string(p.name) + " ";
                if (p.kind != Kind::Flag && valued.find(std::string(" ") + p.name + " ") == std::string::npos) {
                    valued += std::string(p.name) + " ";
                    if (p.kind == Kind::Choice) {
                        std::string c = p.choices;
                        std::replace(c.begin(), c.end(), '|', ' ');
                        choices += std::string("        ") + p.name + ") COMPREPLY=($(compgen -W \"" + c +
                                   "\" -- \"$cur\")); return ;;\n";
                    }
                }
            } else if (p.kind == Kind::File || p.kind == Kind::Path) {
                files = true;
            } else if (p.kind == Kind::Choice) {
                std::string c = p.choices;
                for (char &ch : c) {
                    if (ch == '|') ch = ' ';
                }
                words += c + " ";
            }
        }
    }
    for (const auto &p : kGlobalOptions) words += std::string(p.name) + " ";
    words.pop_back();
    cases += "        \"" + path + "\") words=\"" + words + "\"" + (files ? "; files=1" : "") + " ;;\n";
    for (const auto &child : cmd.children) completion_cases(child, path + " " + child.name, cases, valued, choices);
}

}  // namespace

std::string bash_completion(const Command &root) {
    std::string cases;
    std::string valued = " --address ";
    std::string choices;
    completion_cases(root, "", cases, valued, choices);
    std::string valued_pattern;
    for (size_t start = 1; start < valued.size();) {
        const size_t end = valued.find(' ', start);
        if (end == std::string::npos || end == start) break;
        valued_pattern += (valued_pattern.empty() ? "" : "|") + valued.substr(start, end - start);
        start = end + 1;
    }
    std::string s =
        "# bash completion for tboxctl, generated from its command table (tboxctl completion bash)\n"
        "_tboxctl_words() {\n"
        "    files=0\n"
        "    case \"$1\" in\n" +
        cases +
        "        *) return 1 ;;\n"
        "    esac\n"
        "}\n"
        "_tboxctl() {\n"
        "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" path=\"\" words=\"\" files=0 i w\n"
        "    case \"${COMP_WORDS[COMP_CWORD-1]}\" in\n" +
        choices + "        " + valued_pattern +
        ") COMPREPLY=(); return ;;\n"
        "    esac\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        w=\"${COMP_WORDS[i]}\"\n"
        "        case \"$w\" in\n"
        "            " +
        valued_pattern +
        ") ((i++)); continue ;;\n"
        "            -*) continue ;;\n"
        "        esac\n"
        "        if _tboxctl_words \"$path $w\"; then path=\"$path $w\"; fi\n"
        "    done\n"
        "    _tboxctl_words \"$path\"\n"
        "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
        "    if [ \"$files\" = 1 ] && [[ \"$cur\" != -* ]]; then COMPREPLY+=($(compgen -f -- \"$cur\")); fi\n"
        "}\n"
        "complete -F _tboxctl tboxctl\n";
    return s;
}

// --- shared helpers ----------------------------------------------------------------------------------

std::string trim_answer(const char *raw) {
    std::string text = raw == nullptr ? "" : raw;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line != "OK") {
            const size_t last = line.find_last_not_of(" \t");
            return line.substr(first, last - first + 1);
        }
        start = end + 1;
    }
    return "";
}

std::string hex_text(const uint8_t *data, size_t len) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

}  // namespace tboxctl
