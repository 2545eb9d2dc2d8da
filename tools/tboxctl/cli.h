// The command table of tboxctl and what every command shares: arguments checked before anything is sent,
// answers printed as "key: value" lines or one JSON object, exit statuses, watch loops.
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tboxctl {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // the box (or the file operation) reported a failure
constexpr int kUsage = 2;   // bad usage: nothing was changed on the box (at most a query was sent)

// What an argument or option value must be; checked before the command runs.
enum class Kind {
    Flag,     // option without a value
    Text,     // a text, valid UTF-8 (it goes to the box or into an answer); paths take File, Path or Dir
    Int,      // a decimal or 0x integer within [min, max]
    Hex,      // hex bytes (even number of digits), "-" for none
    File,     // a path that exists
    Path,     // a path to write (its directory must exist)
    Dir,      // a directory that exists
    Source,   // a file that exists, or an http:// or https:// URL
    Choice,   // one of the words in `choices` ("a|b|c")
    Version,  // eleven decimal digits
};

struct Param {
    const char *name = nullptr;  // "INDEX" for a positional argument, "--count" for an option
    Kind kind = Kind::Flag;
    bool optional = false;  // positional arguments only
    const char *help = nullptr;
    long long min = 0;
    long long max = 0;
    const char *choices = nullptr;  // Kind::Choice
};

Param arg(const char *name, Kind kind, const char *help);
Param int_arg(const char *name, long long min, long long max, const char *help);
Param optional_arg(Param p);
Param option(const char *name, Kind kind, const char *help);
Param int_option(const char *name, long long min, long long max, const char *help);
Param choice(const char *name, const char *choices, const char *help);

// The checked values of one command line.
class Args {
public:
    bool has(const std::string &name) const;
    const std::string &text(const std::string &name) const;  // "" when absent
    long long integer(const std::string &name, long long fallback = 0) const;
    std::vector<uint8_t> bytes(const std::string &name) const;  // Kind::Hex
    void set(const std::string &name, const std::string &value);

private:
    std::vector<std::pair<std::string, std::string>> values_;
};

// One answer: ordered fields, printed as "key: value" lines or as one JSON object on one line.
class Answer {
public:
    Answer &text(const std::string &key, const std::string &value);
    Answer &number(const std::string &key, long long value);
    Answer &decimal(const std::string &key, double value, int digits);
    Answer &boolean(const std::string &key, bool value);
    // A value the box did not give: null in JSON, "unknown" in lines.
    Answer &unknown(const std::string &key);
    // A value that does not apply (the address of a profile that is down): null in JSON, left out of lines.
    Answer &none(const std::string &key);
    bool empty() const { return fields_.empty(); }
    std::string lines() const;
    std::string json() const;

private:
    enum class Form { Quoted, Bare, Unknown, None };
    struct Field {
        std::string key, value;
        Form form;
    };
    std::vector<Field> fields_;
};

struct Context;
using Handler = int (*)(Context &, const Args &);

struct Command {
    const char *name;
    const char *summary;
    std::vector<Param> params;  // positional arguments and options, in help order
    Handler run = nullptr;      // null for a group
    std::vector<Command> children;
    const char *details = nullptr;  // more about a command, shown in its --help under the summary
};

Command leaf(const char *name, const char *summary, std::vector<Param> params, Handler run);
Command group(const char *name, const char *summary, std::vector<Command> children);
Command with_details(Command command, const char *details);

// Per invocation: output form and the command's name for messages.
struct Context {
    bool json = false;
    bool verbose = false;
    std::string path;  // "tboxctl modem at"
    mutable bool printed = false;

    // Prints one record; in lines, records after the first are set apart by a blank line.
    void print(const Answer &answer) const;
    // Prints more fields of the record under way (a road's steps): no blank line before them.
    void print_more(const Answer &answer) const;
    // "tboxctl modem at: <what>" on stderr; returns kFailed.
    int fail(const std::string &what) const;
    // As fail, for problems found before anything was sent; returns kUsage.
    int usage(const std::string &what) const;
};

// Watch subcommands: run the default main context until `count` events (0: no limit) or SIGINT/SIGTERM.
// Event callbacks hand their answers to watch_event().
int watch(Context &ctx, long long count);
void watch_event(const Answer &answer);
// SIGINT and SIGTERM end a watch cleanly instead of the process (other commands keep the default).
void catch_stop_signals();
// Lets a watch that polls (not the main loop) ask whether it should stop.
bool stop_requested();

// The whole table, and the entry point behind main().
const Command &command_table();
int run_command_line(int argc, char **argv);

// Bash completion script generated from the table.
std::string bash_completion(const Command &root);

// The pieces of --help that the manual page (tboxctl --help-roff) shows too, so that the two cannot drift.
const std::vector<Param> &common_options();
std::string synopsis(const Command &leaf);  // " [options] INDEX VALUE"
std::string param_label(const Param &p);    // "--count N"
std::string param_help(const Param &p);     // its help, with the range or the choices
extern const char *const kExitStatusText;
// tboxctl(1) in roff, from the table.
std::string man_page(const Command &root);

// The domains.
Command modem_commands();
Command gnss_commands();
Command param_commands();
Command net_commands();
Command wifi_commands();
Command pm_commands();
Command gb_commands();
Command mcu_commands();
Command upgrade_commands();
Command patch_command();
Command digest_command();
Command uart_commands();
Command record_command();

// Helpers shared by the domains.
std::string trim_answer(const char *raw);  // the first non-blank line of a modem answer
std::string hex_text(const uint8_t *data, size_t len);

}  // namespace tboxctl
