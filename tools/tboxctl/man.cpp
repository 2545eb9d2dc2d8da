// tboxctl(1): the manual page, written in roff from the command table that drives --help, so the two never
// disagree. The build runs "tboxctl --help-roff" (a hidden option) and installs its output.
#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

// Plain text for a filled line: backslashes escaped, and a line that would start with a control character
// made ordinary.
std::string roff_text(const std::string &text) {
    std::string out;
    bool line_start = true;
    for (const char c : text) {
        if (line_start && (c == '.' || c == '\'')) out += "\\&";
        line_start = c == '\n';
        if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
    }
    return out;
}

// Words a reader types (commands, options): hyphens as minus signs, so that copying them works; a long list
// of choices may break after each "|".
std::string roff_word(const std::string &word) {
    std::string out;
    for (const char c : roff_text(word)) {
        if (c == '-') {
            out += "\\-";
        } else if (c == '|') {
            out += "|\\:";
        } else {
            out += c;
        }
    }
    return out;
}

// "--count N" as bold option and italic value; "INDEX" as italic.
std::string param_tag(const Param &p) {
    const std::string label = param_label(p);
    if (label[0] != '-') return "\\fI" + roff_word(label) + "\\fR";
    const size_t space = label.find(' ');
    if (space == std::string::npos) return "\\fB" + roff_word(label) + "\\fR";
    return "\\fB" + roff_word(label.substr(0, space)) + "\\fR \\fI" + roff_word(label.substr(space + 1)) + "\\fR";
}

void params(std::string &out, const std::vector<Param> &list) {
    for (const auto &p : list) out += ".TP\n" + param_tag(p) + "\n" + roff_text(param_help(p)) + "\n";
}

void leaves(std::string &out, const Command &cmd, const std::string &path) {
    if (cmd.run == nullptr) {
        for (const auto &child : cmd.children) leaves(out, child, path + " " + child.name);
        return;
    }
    const std::string usage = "\\fB" + roff_word(path) + "\\fR" + roff_word(synopsis(cmd));
    out += ".TP\n" + usage + "\n" + roff_text(cmd.summary) + "\n";
    if (cmd.details == nullptr && cmd.params.empty()) return;
    out += ".RS\n";
    if (cmd.details != nullptr) out += ".PP\n" + roff_text(cmd.details) + "\n";
    params(out, cmd.params);
    out += ".RE\n";
}

}  // namespace

std::string man_page(const Command &root) {
    std::string out =
        ".TH TBOXCTL 1 \"\" \"tbox " TBOXCTL_VERSION
        "\" \"User Commands\"\n"
        ".SH NAME\n"
        "tboxctl \\- ask the telematics box a question or drive one step of its services\n"
        ".SH SYNOPSIS\n"
        ".B tboxctl\n"
        "[\\fB\\-\\-json\\fR] [\\fB\\-\\-address\\fR \\fIADDR\\fR] [\\fB\\-\\-verbose\\fR] \\fIcommand\\fR "
        "[\\fIsubcommand\\fR] [\\fIarguments\\fR]\n"
        ".br\n"
        ".B tboxctl\n"
        "[\\fIcommand\\fR ...] \\fB\\-\\-help\\fR\n"
        ".SH DESCRIPTION\n" +
        roff_text(root.summary) +
        "\n"
        "tboxctl is built on the SDK's public API only, as any application on the box is. Every argument is\n"
        "checked before anything is sent: a bad one ends the command with exit status 2 and one line on\n"
        "standard error, and nothing on the box has changed.\n"
        ".SH OUTPUT\n"
        "An answer is printed as \\fIkey\\fR: \\fIvalue\\fR lines on standard output; where a command prints\n"
        "several records (watch commands, \\fBnet status\\fR of both profiles), a blank line sets each apart.\n"
        "With \\fB\\-\\-json\\fR each record is one JSON object on a line of its own: numbers are JSON numbers,\n"
        "times are ISO 8601 UTC texts, and a value the box did not give is null. Each command's keys are\n"
        "described in \\fIshare/doc/tbox/tboxctl.md\\fR under the prefix the SDK was installed to (/usr for the Debian "
        "packages).\n"
        "Failures and diagnostics go to standard error.\n"
        ".SH COMMANDS\n";
    for (const auto &domain : root.children) {
        out += ".SS " + roff_word(domain.name) + "\n";
        if (domain.run == nullptr) out += roff_text(domain.summary) + "\n";
        leaves(out, domain, std::string("tboxctl ") + domain.name);
    }
    out += ".SH COMMON OPTIONS\nThese options go with every command, before or after its name.\n";
    params(out, common_options());
    out += ".SH EXIT STATUS\n" + roff_text(kExitStatusText) +
           ".\n"
           ".SH SEE ALSO\n"
           ".BR tbox\\-simd (1),\n"
           ".BR libtbox (3)\n";
    return out;
}

}  // namespace tboxctl
