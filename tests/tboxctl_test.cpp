// tboxctl as a user runs it: a separate process against the simulator on the test's private bus.
// Tables of (arguments -> exit status, output); sessions run their rows in order against one simulator,
// so a row sees what the rows before it changed.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "nmea.h"
#include "support/box_fakes.h"
#include "support/files.h"
#include "support/ipc_namespace.h"
#include "support/pump.h"
#include "support/sim_runner.h"
#include "support/tboxctl_run.h"

using tbox::test::CtlResult;
using tbox::test::line_count;
using tbox::test::SimRunner;
using tbox::test::tboxctl;
using tbox::test::tboxctl_while;

namespace {

using Words = std::vector<std::string>;

struct Row {
    Words args;
    int status;
    std::string out;  // the whole standard output
};

std::string show(const Words &args) {
    std::string s = "tboxctl";
    for (const auto &a : args) s += " " + a;
    return s;
}

void run_session(const std::vector<Row> &rows) {
    for (const auto &row : rows) {
        const CtlResult r = tboxctl(row.args);
        EXPECT_EQ(r.status, row.status) << show(row.args) << "\nstderr: " << r.err;
        EXPECT_EQ(r.out, row.out) << show(row.args);
        if (row.status != 0) {
            // The last line is tboxctl's; a library that reports on stderr itself may come before it.
            EXPECT_NE(r.err.find("tboxctl "), std::string::npos) << show(row.args) << "\n" << r.err;
            EXPECT_EQ(r.err.back(), '\n');
        }
    }
}

// --- bad usage -------------------------------------------------------------------------------------

TEST(TboxctlUsage, BadInputIsNamedAndNothingIsSent) {
    tbox::test::TempDir dir;
    tbox::test::put(dir / "file", "data");
    const std::string file = dir / "file";
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    struct Bad {
        Words args;
        std::string problem;  // what the one stderr line must say
    };
    const std::vector<Bad> table = {
        {{"frob"}, "tboxctl: unknown command 'frob'"},
        {{"modem", "frob"}, "tboxctl modem: unknown command 'frob'"},
        {{"modem"}, "tboxctl modem: missing command (info, csq, at)"},
        {{"wifi", "ap"}, "tboxctl wifi ap: missing command (get, set, start, stop)"},
        {{"modem", "csq", "--bogus"}, "tboxctl modem csq: unknown option --bogus"},
        {{"modem", "at"}, "tboxctl modem at: missing argument CMD"},
        {{"modem", "at", "AT", "extra"}, "tboxctl modem at: unexpected argument 'extra'"},
        {{"modem", "at", "AT", "--lines", "0"}, "--lines: 0 is out of range (1 to 20)"},
        {{"modem", "at", "AT", "--lines"}, "--lines needs a value"},
        {{"--json=yes", "modem", "csq"}, "--json takes no value"},
        {{"param", "get", "abc"}, "tboxctl param get: INDEX: 'abc' is not a number"},
        {{"param", "get", "1x"}, "INDEX: '1x' is not a number"},
        {{"param", "get", "-1"}, "INDEX: -1 is out of range (0 to 2147483647)"},
        {{"param", "get", "99999999999999999999"}, "is out of range"},
        {{"param", "get", "2147483648"}, "INDEX: 2147483648 is out of range (0 to 2147483647)"},
        {{"param", "get", "0x"}, "INDEX: '0x' is not a number"},
        {{"param", "get", " 1"}, "INDEX: ' 1' is not a number"},
        {{"param", "get", "+1"}, "INDEX: '+1' is not a number"},
        {{"param", "limits", "1", "-2147483649", "0"}, "MIN: -2147483649 is out of range"},
        {{"param", "limits", "1", "0", "0x80000000"}, "MAX: 0x80000000 is out of range"},
        {{"pm", "wakeup", "-1"}, "SOURCE: -1 is out of range (0 to 255)"},
        {{"pm", "alarm", "add", "2147483648", "1"}, "SECONDS: 2147483648 is out of range (0 to 2147483647)"},
        {{"pm", "alarm", "del", "-9223372036854775809"}, "ID: -9223372036854775809 is out of range"},
        {{"mcu", "send", "0x0201", "-1", "00"}, "SUBCMD: -1 is out of range (0 to 127)"},
        {{"mcu", "send", "0x3FFF", "1", "00"}, "TYPE: 0x3FFF is out of range (257 to 16382)"},
        {{"wifi", "ap", "set", "depot", "pw", "--mask", "0x80000000"}, "--mask: 0x80000000 is out of range"},
        {{"uart", "receive", file, "--bytes", "65537"}, "--bytes: 65537 is out of range (1 to 65536)"},
        {{"uart", "receive", file, "--wait", "256"}, "--wait: 256 is out of range (0 to 255)"},
        {{"upgrade", "start", file, "--flag", "-1"}, "--flag: -1 is out of range (0 to 255)"},
        {{"param", "limits", "1", "100", "20"}, "MIN 100 is above MAX 20"},
        {{"net", "status", "15"}, "tboxctl net status: PROFILE: 15 is out of range (1 to 14)"},
        {{"net", "ip", "0"}, "PROFILE: 0 is out of range (1 to 14)"},
        {{"net", "watch", "--count=0"}, "--count: 0 is out of range"},
        {{"wifi", "mode", "3"}, "MODE: 3 is out of range (0 to 2)"},
        {{"wifi", "ap", "set", "ssid-of-thirty-two-characters-xx", "password"}, "SSID: longer than 31 characters"},
        {{"wifi", "ap", "set", "depot", "pw", "--security", "3"}, "--security: 3 is out of range (0 to 2)"},
        {{"pm", "alarm", "add", "10"}, "tboxctl pm alarm add: missing argument ID"},
        {{"pm", "wakeup", "256"}, "SOURCE: 256 is out of range (0 to 255)"},
        {{"gnss", "watch", "--count", "many"}, "--count: 'many' is not a number"},
        {{"mcu", "send", "0x0201", "5", "ABC"}, "DATA: odd number of hex digits in 'ABC'"},
        {{"mcu", "send", "0x0201", "5", "XY"}, "DATA: 'XY' is not hex bytes"},
        {{"mcu", "send", "0x0201", "0x80", "00"}, "SUBCMD: 0x80 is out of range (0 to 127)"},
        {{"patch", "/nonexistent/old", file, file}, "OLD: /nonexistent/old: No such file or directory"},
        {{"patch", file, "/nonexistent/new", file}, "NEW: no directory /nonexistent"},
        {{"digest", "/nonexistent"}, "FILE: /nonexistent: No such file or directory"},
        {{"digest", file, "--algorithm", "crc"}, "--algorithm: 'crc' is not one of md5|sha256|both"},
        {{"uart", "send", "/dev/nonexistent-tty", "00"}, "DEVICE: /dev/nonexistent-tty: No such file or directory"},
        {{"uart", "send", file, "00", "--speed", "19200"}, "--speed: '19200' is not one of"},
        {{"upgrade", "verify", file, "--md5", "123"}, "--md5: expected 32 hex digits"},
        {{"upgrade", "verify", file}, "give exactly one of --md5 and --sha256"},
        {{"upgrade", "version", "set", "1.2.3"}, "VERSION: '1.2.3' is not eleven digits"},
        {{"upgrade", "restore", "patch", file, file}, "TYPE: 'patch' is not one of diff|whole"},
        {{"upgrade", "run", "--version", "00101003003", "--md5", std::string(32, 'A')}, "missing option --url"},
        {{"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", "00101003003"},
         "give exactly one of --md5 and --sha256"},
        {{"upgrade", "run", "--url", "http://127.0.0.1:1/p", "--version", "0010100300"},
         "--version: '0010100300' is not"},
        {{"upgrade", "run", "--url", "u", "--version", "00101003003", "--md5", std::string(32, 'A'), "--dir",
          "/nonexistent"},
         "--dir: no directory /nonexistent"},
        // Texts for the box that D-Bus cannot carry: refused here, not by the library once under way.
        {{"modem", "at", "AT\xff"}, "tboxctl modem at: CMD is not valid UTF-8"},
        {{"modem", "at", "AT", "--prefix", "+C\xc3"}, "--prefix is not valid UTF-8"},
        {{"param", "set", "3", "caf\xe9"}, "tboxctl param set: VALUE is not valid UTF-8"},
        {{"wifi", "ap", "set", "dep\x80ot", "pw"}, "SSID is not valid UTF-8"},
        {{"wifi", "sta", "connect", "depot", "pw\xfe"}, "PASSWORD is not valid UTF-8"},
        {{"pm", "hold", "\xc0\xaf"}, "EVENT is not valid UTF-8"},
    };
    for (const auto &bad : table) {
        const CtlResult r = tboxctl(bad.args);
        EXPECT_EQ(r.status, 2) << show(bad.args);
        EXPECT_EQ(r.out, "") << show(bad.args);
        EXPECT_EQ(line_count(r.err), 1u) << show(bad.args) << "\n" << r.err;
        EXPECT_NE(r.err.find(bad.problem), std::string::npos) << show(bad.args) << "\n" << r.err;
    }
    EXPECT_EQ(sim.received(""), std::vector<std::string>{}) << "bad usage sends nothing";
}

TEST(TboxctlUsage, ValuesOfTheWrongTypeForTheParameterAreRefusedAfterOnlyTheTypeQuery) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    for (const char *value : {"thirty", "99999999999"}) {
        const CtlResult r = tboxctl({"param", "set", "1", value});
        EXPECT_EQ(r.status, 2) << value;
        EXPECT_EQ(line_count(r.err), 1u) << r.err;
    }
    EXPECT_NE(tboxctl({"param", "set", "1", "thirty"}).err.find("VALUE: parameter 1 takes an integer, not 'thirty'"),
              std::string::npos);
    EXPECT_EQ(sim.received("ky.param GetParamType").size(), 3u);
    for (const auto &call : sim.received("")) EXPECT_EQ(call.find(" Set"), std::string::npos) << call;
    EXPECT_NE(tboxctl({"param", "set", "--help"}).out.find("after that one\nquery, and nothing is written"),
              std::string::npos);
}

// --- help and completion ---------------------------------------------------------------------------

TEST(TboxctlHelp, EveryLevelHasHelpOnStdout) {
    const std::vector<std::pair<Words, std::string>> table = {
        {{"--help"}, "Usage: tboxctl [--json] [--address ADDR] <command> ..."},
        {{"modem", "--help"}, "Usage: tboxctl modem [--json] [--address ADDR] <command> ..."},
        {{"modem", "at", "--help"}, "Usage: tboxctl modem at [options] CMD"},
        {{"-h", "param", "set"}, "Usage: tboxctl param set INDEX VALUE"},
        {{"wifi", "ap", "--help"}, "Usage: tboxctl wifi ap [--json] [--address ADDR] <command> ..."},
        {{"pm", "alarm", "add", "--help"}, "Usage: tboxctl pm alarm add SECONDS ID"},
        {{"mcu", "send", "--help"}, "Usage: tboxctl mcu send TYPE SUBCMD DATA"},
        {{"upgrade", "run", "--help"}, "Usage: tboxctl upgrade run [options]"},
        {{"upgrade", "version", "set", "--help"}, "Usage: tboxctl upgrade version set VERSION"},
        {{"uart", "receive", "--help"}, "Usage: tboxctl uart receive [options] DEVICE"},
        {{"net", "frob", "--help"}, "Usage: tboxctl net [--json] [--address ADDR] <command> ..."},
        {{"param", "get", "abc", "--bogus", "--help"}, "Usage: tboxctl param get INDEX"},
    };
    for (const auto &[args, first_line] : table) {
        const CtlResult r = tboxctl(args);
        EXPECT_EQ(r.status, 0) << show(args);
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), first_line) << show(args);
        EXPECT_NE(r.out.find("Exit status: 0 success, 1 failure reported by the box, 2 bad usage"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    const CtlResult top = tboxctl({"--help"});
    for (const char *domain : {"modem", "gnss", "param", "net", "wifi", "pm", "gb", "mcu", "upgrade", "patch", "digest",
                               "uart", "completion"}) {
        EXPECT_NE(top.out.find(std::string("\n  ") + domain + " "), std::string::npos) << domain;
    }
}

TEST(TboxctlHelp, BashCompletionOffersWhatTheTableHas) {
    tbox::test::TempDir dir, files;
    tbox::test::put(files / "package.tgz", "x");
    tbox::test::put(files / "patch.bin", "x");
    const CtlResult script = tboxctl({"completion", "bash"});
    ASSERT_EQ(script.status, 0);
    tbox::test::put(dir / "completion.bash", script.out);
    const std::string common = "--address --help --json --verbose";
    const std::vector<std::pair<std::string, std::string>> table = {
        {"tboxctl u", "uart upgrade"},
        {"tboxctl upg", "upgrade"},
        {"tboxctl --json --address unix:path=/x mo", "modem"},
        {"tboxctl upgrade version ", common + " get set"},
        {"tboxctl upgrade run --ty", "--type"},
        {"tboxctl upgrade run --url ", ""},
        {"tboxctl net watch --c", "--count"},
        {"tboxctl upgrade restore d", "diff"},
        {"tboxctl digest --algorithm ", "both md5 sha256"},
        {"tboxctl upgrade run --type w", "whole"},
        {"tboxctl digest " + files.path + "/pa", files.path + "/package.tgz " + files.path + "/patch.bin"},
        {"tboxctl upgrade restore diff " + files.path + "/pac", files.path + "/package.tgz"},
        {"tboxctl frob ", common + " completion digest gb gnss mcu modem net param patch pm record uart upgrade wifi"},
    };
    for (const auto &[line, expected] : table) {
        const std::string command = "cd " + files.path + " && bash -c 'source " + (dir / "completion.bash") +
                                    "; COMP_WORDS=(" + line + (line.back() == ' ' ? "\"\"" : "") +
                                    "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tboxctl; "
                                    "printf \"%s\\n\" \"${COMPREPLY[@]}\" | sort | xargs echo' > " +
                                    (dir / "reply");
        ASSERT_EQ(std::system(command.c_str()), 0) << line;
        std::string reply = tbox::test::get(dir / "reply");
        if (!reply.empty() && reply.back() == '\n') reply.pop_back();
        EXPECT_EQ(reply, expected) << line;
    }
}

// The manual pages made at build time render without a warning, and tboxctl(1) has every command its help
// walks to.
TEST(TboxctlHelp, ManPagesRenderCleanlyAndNameEveryCommand) {
#ifndef TBOX_MAN_PAGES
    GTEST_SKIP() << "no manual pages in a cross build";
#else
    gchar **split = g_strsplit(TBOX_MAN_PAGES, ":", -1);
    const std::vector<std::string> pages(split, split + g_strv_length(split));
    g_strfreev(split);
    ASSERT_EQ(pages.size(), 3u);
    tbox::test::TempDir dir;
    for (const auto &page : pages) {
        const std::string command = "groff -man -Tutf8 -z -ww '" + page + "' > '" + (dir / "warnings") + "' 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << page;
        EXPECT_EQ(tbox::test::get(dir / "warnings"), "") << page;
    }
    const std::string manual = tbox::test::get(pages[0]);
    EXPECT_EQ(manual.rfind(".TH TBOXCTL 1 ", 0), 0u);
    auto roff = [](std::string words) {
        std::string out;
        for (const char c : words) out += c == '-' ? std::string("\\-") : std::string(1, c);
        return out;
    };
    // Walks the help: a group lists its commands under "Commands:", a command's help starts "Usage: PATH".
    std::vector<Words> pending = {{}};
    size_t leaves = 0;
    while (!pending.empty()) {
        const Words path = pending.back();
        pending.pop_back();
        Words args = path;
        args.push_back("--help");
        const std::string help = tboxctl(args).out;
        const size_t list = help.find("\nCommands:\n");
        if (list == std::string::npos) {
            ++leaves;
            EXPECT_NE(manual.find("\\fB" + roff(show(path)) + "\\fR"), std::string::npos) << show(path);
            continue;
        }
        for (size_t at = help.find("\n  ", list); at != std::string::npos && at < help.find("\n\n", list + 1);
             at = help.find("\n  ", at + 1)) {
            Words child = path;
            child.push_back(help.substr(at + 3, help.find_first_of(" \n", at + 3) - at - 3));
            pending.push_back(child);
        }
    }
    EXPECT_GT(leaves, 40u);
    for (const auto &p : {"\\-\\-json", "\\-\\-address", "\\-\\-verbose"})
        EXPECT_NE(manual.find(p), std::string::npos) << p;
    EXPECT_NE(tbox::test::get(pages[1]).find("\\fB\\-\\-queues\\fR\n"), std::string::npos);
#endif
}

// --- each domain against the simulator -------------------------------------------------------------

TEST(TboxctlSim, Modem) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    run_session({
        {{"modem", "info"}, 0, "iccid: 89860121801097564807\nimei: 867698041234565\nimsi: 460011234567890\n"},
        {{"modem", "csq"}, 0, "rssi: 23\n"},
        {{"modem", "csq", "--json"}, 0, "{\"rssi\": 23}\n"},
        {{"modem", "at", "AT+CSQ", "--prefix", "+CSQ:"}, 0, "result: 0\nanswer: 23,99\n"},
        {{"--json", "modem", "at", "AT+QADC=9"}, 1, "{\"result\": 50, \"answer\": \"+CME ERROR: 50\"}\n"},
        {{"modem", "at", "AT+FROB"}, 1, "result: 4\nanswer: +CME ERROR: 4\n"},
    });
    EXPECT_EQ(sim.inject("at.csq 7 99"), "");
    run_session({{{"modem", "csq"}, 0, "rssi: 7\n"}});
}

TEST(TboxctlSim, Param) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    run_session({
        {{"param", "type", "1"}, 0, "index: 1\ntype: 1\nkind: integer\n"},
        {{"param", "get", "1"}, 0, "index: 1\ntype: integer\nvalue: 30\n"},
        {{"param", "set", "1", "60"}, 0, "index: 1\ntype: integer\nvalue: 60\n"},
        {{"param", "set", "1", "5"}, 1, ""},
        {{"param", "get", "1", "--json"}, 0, "{\"index\": 1, \"type\": \"integer\", \"value\": 60}\n"},
        {{"param", "set", "3", "broker.example.net"}, 0, "index: 3\ntype: text\nvalue: broker.example.net\n"},
        {{"--json", "param", "get", "3"}, 0, "{\"index\": 3, \"type\": \"text\", \"value\": \"broker.example.net\"}\n"},
        {{"param", "limits", "1", "1", "5"}, 0, "index: 1\nmin: 1\nmax: 5\n"},
        {{"param", "set", "1", "5"}, 0, "index: 1\ntype: integer\nvalue: 5\n"},
        {{"param", "get", "99"}, 1, ""},
        {{"param", "get", "010"}, 0, "index: 10\ntype: integer\nvalue: 1\n"},  // decimal, not octal
        {{"param", "get", "0xA"}, 0, "index: 10\ntype: integer\nvalue: 1\n"},
        {{"param", "limits", "4", "-2147483648", "2147483647"}, 0, "index: 4\nmin: -2147483648\nmax: 2147483647\n"},
    });
}

TEST(TboxctlSim, Net) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    const std::vector<std::string> up = {"net.up 3 10.1.2.3"};
    EXPECT_EQ(sim.inject("net.up 3 10.1.2.3"), "");
    run_session({
        {{"net", "status", "3"}, 0, "profile: 3\nstatus: 1\nstate: up\nip: 10.1.2.3\n"},
        {{"net", "status", "4"}, 0, "profile: 4\nstatus: 0\nstate: down\n"},
        {{"net", "ip", "3", "--json"}, 0, "{\"profile\": 3, \"ip\": \"10.1.2.3\"}\n"},
        // Several records in lines: a blank line between two, none after the last.
        {{"net", "status"},
         0,
         "profile: 1\nstatus: 1\nstate: up\nip: 10.64.21.117\n\nprofile: 2\nstatus: 1\nstate: up\nip: 10.72.3.9\n"},
    });
    EXPECT_EQ(sim.inject("net.down 2"), "");
    const CtlResult both = tboxctl({"--json", "net", "status"});
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(both.out,
              "{\"profile\": 1, \"status\": 1, \"state\": \"up\", \"ip\": \"10.64.21.117\"}\n"
              "{\"profile\": 2, \"status\": 0, \"state\": \"down\", \"ip\": null}\n");
    // Each change reports profiles 1 and 2: two events per NetStatus.
    bool down = true;
    const CtlResult watched = tboxctl_while({"--json", "net", "watch", "--count", "2"}, [&] {
        sim.inject(down ? "net.down 1" : "net.up 1");
        down = !down;
    });
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(line_count(watched.out), 2u) << watched.out;
    EXPECT_EQ(watched.out.rfind("{\"profile\": 1, \"status\": ", 0), 0u) << watched.out;
    EXPECT_NE(watched.out.find("\n{\"profile\": 2, \"status\": 0, \"state\": \"down\"}\n"), std::string::npos)
        << watched.out;
}

TEST(TboxctlSim, Wifi) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    run_session({
        {{"wifi", "status"}, 0, "status: 0\nstate: off\n"},
        {{"wifi", "ap", "start"}, 1, ""},
        {{"wifi", "on"}, 0, "wifi: on\n"},
        {{"wifi", "mode", "2"}, 0, "mode: 2\n"},
        {{"wifi", "ap", "set", "tbox-depot", "secret123", "--security", "2"}, 0, "ssid: tbox-depot\nsecurity: 2\n"},
        {{"--json", "wifi", "ap", "get"},
         0,
         "{\"ssid\": \"tbox-depot\", \"password\": \"secret123\", \"security\": 2}\n"},
        {{"wifi", "ap", "start"}, 0, "wifi: access point started\n"},
        {{"wifi", "sta", "start"}, 0, "wifi: station started\n"},
        {{"wifi", "sta", "connect", "depot-wlan", "wrong"}, 1, ""},
        {{"wifi", "sta", "connect", "depot-wlan", "password1"}, 0, "connected: depot-wlan\n"},
        {{"wifi", "status", "--json"}, 0, "{\"status\": 4, \"state\": \"access point and station\"}\n"},
        {{"wifi", "ap", "stop"}, 0, "wifi: access point stopped\n"},
        {{"wifi", "status"}, 0, "status: 3\nstate: station connected\n"},
        {{"wifi", "sta", "stop"}, 0, "wifi: station stopped\n"},
        {{"wifi", "off"}, 0, "wifi: off\n"},
        {{"wifi", "status"}, 0, "status: 0\nstate: off\n"},
    });
}

// Values carried from the box (an AT answer, a parameter, an SSID) and from the user (a file name in another
// encoding) with quotes, backslashes and control characters: every --json line stays one valid JSON object
// that gives the value back.
TEST(TboxctlSim, JsonCarriesAnyTextIntact) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    tbox::test::TempDir dir;
    const std::string odd_file = dir / "pkg\xff\"1\".bin";  // not UTF-8
    tbox::test::put(odd_file, "x");
    ASSERT_EQ(sim.inject("at.answer AT+ECHO 0 \"say \\\"hi\\\" \\\\ \tend\""), "");
    const std::string text = "a\"b\\c\x1f\x7f\xc3\xa9";
    struct JsonRow {
        Words setup;
        Words args;
        std::string key;
        std::string value;  // as Python's ascii() prints it
    };
    const std::vector<JsonRow> table = {
        {{}, {"modem", "at", "AT+ECHO"}, "answer", R"('say "hi" \\ \tend')"},
        {{"param", "set", "3", text}, {"param", "get", "3"}, "value", R"('a"b\\c\x1f\x7f\xe9')"},
        {{"wifi", "on"}, {"wifi", "ap", "get"}, "ssid", "'\\x02\"'"},
        {{}, {"digest", odd_file, "--algorithm", "md5"}, "file", "'" + (dir / "pkg") + "\\ufffd\"1\".bin'"},
    };
    ASSERT_EQ(tboxctl({"wifi", "on"}).status, 0);
    ASSERT_EQ(tboxctl({"wifi", "ap", "set", "\x02\"", "password"}).status, 0);
    const std::string out_file = dir / "out.json";
    for (const auto &row : table) {
        if (!row.setup.empty()) {
            const CtlResult set = tboxctl(row.setup);
            ASSERT_EQ(set.status, 0) << show(row.setup) << "\n" << set.err;
        }
        Words args = {"--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const CtlResult r = tboxctl(args);
        EXPECT_EQ(line_count(r.out), 1u) << show(args) << "\n" << r.out;
        tbox::test::put(out_file, r.out);
        const std::string check =
            "python3 -c 'import json,sys; print(ascii(json.load(open(sys.argv[1], "
            "encoding=\"utf-8\"))[sys.argv[2]]))' '" +
            out_file + "' " + row.key + " > '" + out_file + ".value'";
        EXPECT_EQ(std::system(check.c_str()), 0) << show(args) << "\n" << r.out;
        EXPECT_EQ(tbox::test::get(out_file + ".value"), row.value + "\n") << show(args);
    }
}

TEST(TboxctlSim, PowerManagement) {
    SimRunner sim;
    ASSERT_EQ(sim.failure(), "");
    run_session({
        {{"pm", "state"}, 0, "state: 1\nname: awake\n"},
        {{"pm", "wakeup-source", "--json"}, 0, "{\"source\": 1, \"name\": \"KL15\"}\n"},
        {{"pm", "hold", "bench"}, 0, "hold: bench\n"},
        {{"pm", "release", "bench"}, 0, "released: bench\n"},
        {{"pm", "alarm", "add", "600", "7"}, 0, "alarm: 7\nseconds: 600\n"},
        {{"pm", "alarm", "del", "7"}, 0, "deleted: 7\n"},
    });
    EXPECT_EQ(sim.inject("pm.sleep"), "");
    run_session({
        {{"pm", "state"}, 0, "state: 3\nname: asleep\n"},
        {{"pm", "wakeup", "6"}, 0, "wakeup: sent\nsource: 6\n"},
        {{"pm", "state", "--json"}, 0, "{\"state\": 1, \"name\": \"awake\"}\n"},
        {{"pm", "wakeup-source"}, 0, "source: 6\nname: application\n"},
    });
    EXPECT_EQ(sim.received("ky.pm SetSleepEvent").size(), 1u);
    EXPECT_EQ(sim.received("ky.pm DeleteSleepAlarm").size(), 1u);
    const CtlResult heartbeat = tboxctl({"pm", "heartbeat"});
    EXPECT_EQ(heartbeat.status, 0);
    EXPECT_EQ(heartbeat.out.rfind("heartbeat: ", 0), 0u);
    // An alarm fires while pm watch listens: the box wakes with source 3 and the alarm's id.
    const CtlResult watched =
        tboxctl_while({"--json", "pm", "watch", "--count", "1"}, [&] { sim.inject("pm.state 1 3 9"); });
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(watched.out,
              "{\"event\": \"power-state\", \"state\": 1, \"name\": \"awake\", \"source\": 3, \"alarm\": 9}\n");
    const CtlResult gsensor = tboxctl_while({"pm", "watch", "--count", "1"}, [&] { sim.inject("pm.gsensor"); });
    EXPECT_EQ(gsensor.out.find("event: gsensor-wakeup\n") != std::string::npos ||
                  gsensor.out.find("event: power-state\n") != std::string::npos,
              true)
        << gsensor.out;
}

TEST(TboxctlSim, GbRealData) {
    tbox::sim::Options options;
    options.gb_interval_ms = 50;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    run_session({
        {{"gb", "kl15"}, 0, "kl15: 1\ncharging: 0\n"},
        {{"gb", "alarm", "--json"}, 0, "{\"alarm\": false}\n"},
    });
    EXPECT_EQ(sim.inject("gb.alarm 1"), "");
    EXPECT_EQ(sim.inject("gb.kl15 0 1"), "");
    run_session({
        {{"gb", "alarm"}, 0, "alarm: true\n"},
        {{"gb", "kl15", "--json"}, 0, "{\"kl15\": 0, \"charging\": 1}\n"},
    });
    const CtlResult r = tboxctl({"--json", "gb", "watch", "--count", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(line_count(r.out), 3u);
    EXPECT_EQ(r.out.rfind("{\"length\": 23, \"data\": \"1A0101", 0), 0u) << r.out;
    const CtlResult lines = tboxctl({"gb", "watch", "--count", "2"});
    EXPECT_EQ(lines.status, 0) << lines.err;
    const size_t second = lines.out.find("\n\nlength: 23\ndata: ");
    EXPECT_EQ(lines.out.rfind("length: 23\ndata: 1A0101", 0), 0u) << lines.out;
    ASSERT_NE(second, std::string::npos) << lines.out;
    EXPECT_EQ(line_count(lines.out), 5u) << "no blank line after the last record:\n" << lines.out;
}

TEST(TboxctlSim, GnssFollowsTheDrive) {
    tbox::sim::Options options;
    options.nmea = TBOX_SIM_DRIVE_LOG;
    options.speed = 20;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    const CtlResult fixes = tboxctl({"--json", "gnss", "watch", "--count", "3"});
    EXPECT_EQ(fixes.status, 0) << fixes.err;
    EXPECT_EQ(line_count(fixes.out), 3u);
    EXPECT_EQ(fixes.out.rfind("{\"valid\": ", 0), 0u) << fixes.out;
    const CtlResult nmea = tboxctl({"gnss", "watch", "--nmea", "--count", "2"});
    EXPECT_EQ(nmea.status, 0);
    EXPECT_EQ(nmea.out.rfind("nmea: $GN", 0), 0u) << nmea.out;
    // Well into the drive: a valid fix near the depot, on the drive's date.
    ASSERT_TRUE(tbox::test::pump_until(
        [&] {
            return tboxctl({"gnss", "get"}).out.rfind("valid: true\n", 0) == 0;
        },
        10000));
    const CtlResult now = tboxctl({"gnss", "get"});
    EXPECT_EQ(now.status, 0);
    EXPECT_NE(now.out.find("\nlatitude: 31.2"), std::string::npos) << now.out;
    EXPECT_NE(now.out.find("\ntime: 2026-03-14T"), std::string::npos) << now.out;
}

// The record's date (yyyymmdd) and time (hhmmss) become one ISO 8601 UTC time; without a date (0) or when the
// two name no real time, the time is unknown (null). Every other value is a JSON number.
TEST(TboxctlSim, GnssTimeIsOneUtcTimeOrNull) {
    tbox::test::FakeService gnss = tbox::test::fake("gnss");
    std::atomic<int> date{0}, time{0};
    gnss.handle("handle-get-gps-data", [&](GDBusMethodInvocation *inv) {
        g_dbus_method_invocation_return_value(inv, g_variant_new("((iiiiiiiiii))", 1, 31230417, -7400600, 125, 503,
                                                                 1234, 9, 8, date.load(), time.load()));
        return true;
    });
    const std::vector<std::tuple<int, int, std::string>> table = {
        {20260314, 83004, "\"2026-03-14T08:30:04Z\""},
        {20261231, 235960, "\"2026-12-31T23:59:60Z\""},  // a leap second
        {20240229, 0, "\"2024-02-29T00:00:00Z\""},
        {0, 83004, "null"},  // the receiver has no date yet
        {20250229, 83004, "null"},
        {20261301, 83004, "null"},
        {20260314, 246000, "null"},
        {20260314, 86000, "null"},
    };
    for (const auto &[d, t, expected] : table) {
        date = d;
        time = t;
        const CtlResult r = tboxctl({"--json", "gnss", "get"});
        EXPECT_EQ(r.status, 0) << d << " " << t << "\n" << r.err;
        EXPECT_EQ(r.out,
                  "{\"valid\": true, \"latitude\": 31.230417, \"longitude\": -7.400600, \"altitude_m\": 12.5, "
                  "\"speed_kmh\": 50.3, \"course_deg\": 123.4, \"satellites\": 9, \"hdop\": 0.8, \"time\": " +
                      expected + "}\n")
            << d << " " << t;
    }
    date = 20260314;
    time = 83004;
    EXPECT_NE(tboxctl({"gnss", "get"}).out.find("\ntime: 2026-03-14T08:30:04Z\n"), std::string::npos);
    date = 0;
    EXPECT_NE(tboxctl({"gnss", "get"}).out.find("\ntime: unknown\n"), std::string::npos);
}

// Signs follow the hemispheres, down to a few metres from the equator and the prime meridian; a position off
// the Earth is refused by the simulated receiver path, and shown by tboxctl as invalid with exit status 1.
TEST(TboxctlSim, GnssPositionsInEveryHemisphere) {
    struct Fix {
        std::string fields;   // latitude, N/S, longitude, E/W as the receiver prints them
        std::string refused;  // the simulator's complaint, or "" when the position is taken
        std::string latitude, longitude;
    };
    const std::vector<Fix> table = {
        {"3113.8250,N,12128.4221,E", "", "31.230417", "121.473702"},
        {"3352.1200,S,15112.6000,E", "", "-33.868667", "151.210000"},
        {"4042.7700,N,07400.3600,W", "", "40.712833", "-74.006000"},
        {"2254.4100,S,04310.4200,W", "", "-22.906833", "-43.173667"},
        {"0000.3000,S,00000.6000,W", "", "-0.005000", "-0.010000"},
        {"9000.0000,S,18000.0000,E", "", "-90.000000", "180.000000"},
        {"9000.6000,N,12128.4221,E", "RMC latitude \"9000.6000,N\"", "", ""},
        {"3113.8250,N,18000.0001,W", "RMC longitude \"18000.0001,W\"", "", ""},
    };
    {
        SimRunner sim;
        ASSERT_EQ(sim.failure(), "");
        for (const auto &fix : table) {
            const std::string sentence =
                tbox::sim::nmea::with_checksum("$GNRMC,083003.00,A," + fix.fields + ",10.00,62.5,140326,,,A,V");
            const std::string refused = sim.inject("gnss.sentence " + sentence);
            if (!fix.refused.empty()) {
                EXPECT_NE(refused.find(fix.refused), std::string::npos) << fix.fields << ": " << refused;
                continue;
            }
            EXPECT_EQ(refused, "") << fix.fields;
            const CtlResult r = tboxctl({"gnss", "get"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out.rfind("valid: true\nlatitude: " + fix.latitude + "\nlongitude: " + fix.longitude + "\n", 0),
                      0u)
                << fix.fields << "\n"
                << r.out;
        }
        EXPECT_NE(tboxctl({"gnss", "get"}).out.find("\nlatitude: -90.000000\n"), std::string::npos)
            << "a refused sentence leaves the last position";
    }
    tbox::test::FakeService gnss = tbox::test::fake("gnss");
    std::atomic<int> lat{0}, lon{0};
    gnss.handle("handle-get-gps-data", [&](GDBusMethodInvocation *inv) {
        g_dbus_method_invocation_return_value(
            inv, g_variant_new("((iiiiiiiiii))", 1, lat.load(), lon.load(), 0, 0, 0, 9, 8, 20260314, 83003));
        return true;
    });
    for (const auto &[la, lo] : std::vector<std::pair<int, int>>{{90000001, 0}, {0, -180000001}}) {
        lat = la;
        lon = lo;
        const CtlResult r = tboxctl({"--json", "gnss", "get"});
        EXPECT_EQ(r.status, 1) << la << "," << lo;
        EXPECT_EQ(r.out.rfind("{\"valid\": false, ", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "tboxctl gnss get: the positioning service gave a position off the Earth\n");
    }
}

TEST(TboxctlSim, McuMessagesThroughTheQueues) {
    if (const std::string why = tbox::test::private_ipc_namespace(); !why.empty()) GTEST_SKIP() << why;
    tbox::sim::Options options;
    options.queues = true;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    run_session({
        {{"mcu", "send", "0x0201", "5", "A1B2C3"}, 0, "type: 513\nsubcmd: 133\nlength: 3\n"},
        {{"mcu", "send", "0x0202", "0", "-", "--json"}, 0, "{\"type\": 514, \"subcmd\": 128, \"length\": 0}\n"},
    });
    // The simulator reads its queue every few milliseconds: the messages may still be on the queue.
    tbox::test::pump_until([&] { return sim.received("mcu data").size() >= 2; }, 2000);
    const auto data = sim.received("mcu data");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_NE(data[0].find("A1B2C3"), std::string::npos) << data[0];
    const CtlResult r = tboxctl_while({"--json", "mcu", "watch", "0x0301", "--count", "2"},
                                      [&] { sim.inject("mcu.send 0x0301 0x05 0102"); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"type\": 769, \"subcmd\": 5, \"length\": 2, \"data\": \"0102\"}\n"
              "{\"type\": 769, \"subcmd\": 5, \"length\": 2, \"data\": \"0102\"}\n");
    tbox::test::pump_until([&] { return !sim.received("mcu unsubscribe 0x0301").empty(); }, 2000);
    EXPECT_EQ(sim.received("mcu unsubscribe 0x0301").size(), 1u) << "the watch cleans up after itself";
}

// Every command that asks the box something, against services that answer every call with a D-Bus error:
// tboxctl names the failure on stderr, prints no answer, and exits 1.
TEST(TboxctlSim, EveryCommandReportsACallTheBoxAnswersWithAnError) {
    const tbox::test::BoxFakes unhandled;
    struct Failing {
        Words args;
        std::string line;      // the start of stderr
        std::string out = "";  // what is still printed (the service's own message)
    };
    const std::vector<Failing> table = {
        {{"modem", "info"}, "tboxctl modem info: the modem did not give its ICCID"},
        {{"modem", "csq"}, "tboxctl modem csq: the modem did not give its signal quality"},
        {{"modem", "at", "AT"}, "tboxctl modem at: the AT service did not answer"},
        {{"gnss", "get"}, "tboxctl gnss get: the positioning service gave no position"},
        {{"param", "type", "1"}, "tboxctl param type: no parameter 1"},
        {{"param", "get", "1"}, "tboxctl param get: no parameter 1"},
        {{"param", "set", "1", "5"}, "tboxctl param set: no parameter 1"},
        {{"param", "limits", "1", "1", "5"}, "tboxctl param limits: the box refused the limits of parameter 1"},
        {{"net", "status"}, "tboxctl net status: no status for profile 1"},
        {{"net", "ip", "1"}, "tboxctl net ip: no address for profile 1"},
        {{"wifi", "status"}, "tboxctl wifi status: no Wi-Fi status"},
        {{"wifi", "on"}, "tboxctl wifi on: the box refused: on"},
        {{"wifi", "off"}, "tboxctl wifi off: the box refused: off"},
        {{"wifi", "mode", "1"}, "tboxctl wifi mode: the box refused mode 1"},
        {{"wifi", "ap", "get"}, "tboxctl wifi ap get: no access point settings"},
        {{"wifi", "ap", "set", "depot", "pw"}, "tboxctl wifi ap set: the box refused the access point settings"},
        {{"wifi", "ap", "start"}, "tboxctl wifi ap start: the box refused: access point started"},
        {{"wifi", "ap", "stop"}, "tboxctl wifi ap stop: the box refused: access point stopped"},
        {{"wifi", "sta", "start"}, "tboxctl wifi sta start: the box refused: station started"},
        {{"wifi", "sta", "stop"}, "tboxctl wifi sta stop: the box refused: station stopped"},
        {{"wifi", "sta", "connect", "depot", "pw"}, "tboxctl wifi sta connect: the station could not join depot"},
        {{"pm", "state"}, "tboxctl pm state: no power state"},
        {{"pm", "wakeup-source"}, "tboxctl pm wakeup-source: no wake-up source"},
        {{"pm", "heartbeat"}, "tboxctl pm heartbeat: no MCU heartbeat"},
        {{"pm", "wakeup", "1"}, "tboxctl pm wakeup: the box refused the wake-up"},
        {{"pm", "hold", "x"}, "tboxctl pm hold: the box refused the sleep hold"},
        {{"pm", "release", "x"}, "tboxctl pm release: the box refused to release the sleep hold"},
        {{"pm", "alarm", "add", "1", "2"}, "tboxctl pm alarm add: the box refused the alarm"},
        {{"pm", "alarm", "del", "2"}, "tboxctl pm alarm del: the box refused to delete alarm 2"},
        {{"gb", "kl15"}, "tboxctl gb kl15: no KL15 and charging status"},
        {{"upgrade", "bind"}, "tboxctl upgrade bind: the upgrade service refused the binding"},
        {{"upgrade", "unbind"}, "tboxctl upgrade unbind: not unbound"},
        {{"upgrade", "unbind", "--stale"}, "tboxctl upgrade unbind: cannot reclaim the binding: GDBus.Error"},
        {{"upgrade", "start", TBOX_SIM_DRIVE_LOG},
         "tboxctl upgrade start: the upgrade failed: GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod",
         "message: GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod: Method StartUpgrade is not implemented on "
         "interface ky.update\noutcome: failed\n"},
    };
    for (const auto &row : table) {
        const CtlResult r = tboxctl(row.args);
        EXPECT_EQ(r.status, 1) << show(row.args) << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, row.out) << show(row.args);
        EXPECT_EQ(r.err.rfind(row.line, 0), 0u) << show(row.args) << "\n" << r.err;
    }
}

TEST(TboxctlSim, WatchEndsCleanlyOnInterrupt) {
    tbox::sim::Options options;
    options.gb_interval_ms = 50;
    SimRunner sim(options);
    ASSERT_EQ(sim.failure(), "");
    tbox::test::Background watch({"gb", "watch"}, tbox::test::Background::kOut);
    ASSERT_TRUE(watch.read_until("\n")) << "a record arrives";
    kill(watch.pid, SIGINT);
    EXPECT_EQ(watch.wait(), 0) << "ends by itself, not killed by the signal";
}

// --- files and serial ports ------------------------------------------------------------------------

TEST(TboxctlFiles, PatchAndDigestAgreeWithThePeerTools) {
    tbox::test::TempDir dir;
    tbox::test::put(dir / "old", tbox::test::noise(50000, 1));
    tbox::test::put(dir / "new", tbox::test::noise(50000, 1).replace(1000, 10, "0123456789"));
    tbox::test::run("bsdiff " + (dir / "old") + " " + (dir / "new") + " " + (dir / "patch"));
    tbox::test::put(dir / "bad", "BSDIFF40 not really");
    tbox::test::run("md5sum " + (dir / "new") + " | cut -c1-32 | tr a-f A-F | tr -d '\\n' > " + (dir / "md5"));
    tbox::test::run("sha256sum " + (dir / "new") + " | cut -c1-64 | tr a-f A-F | tr -d '\\n' > " + (dir / "sha"));
    const std::string md5 = tbox::test::get(dir / "md5");
    const std::string sha = tbox::test::get(dir / "sha");
    run_session({
        {{"patch", dir / "old", dir / "rebuilt", dir / "patch"}, 0, "patched: " + (dir / "rebuilt") + "\n"},
        {{"patch", dir / "old", dir / "broken", dir / "bad"}, 1, ""},
        {{"digest", dir / "rebuilt", "--algorithm", "md5"}, 0, "file: " + (dir / "rebuilt") + "\nmd5: " + md5 + "\n"},
        {{"--json", "digest", dir / "rebuilt"},
         0,
         "{\"file\": \"" + (dir / "rebuilt") + "\", \"md5\": \"" + md5 + "\", \"sha256\": \"" + sha + "\"}\n"},
    });
    EXPECT_FALSE(std::filesystem::exists(dir / "broken")) << "a failed patch writes nothing";
}

// The library digests regular files only; anything else is a failure named as such, never the digest of no
// bytes. A /proc file is regular and digested by its contents.
TEST(TboxctlFiles, DigestTakesRegularFilesOnly) {
    tbox::test::TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> table = {
        {"/dev/zero", "tboxctl digest: /dev/zero is a character device, not a regular file: no digest\n"},
        {fifo, "tboxctl digest: " + fifo + " is a pipe, not a regular file: no digest\n"},
        {dir.path, "tboxctl digest: " + dir.path + " is a directory, not a regular file: no digest\n"},
    };
    for (const auto &[path, line] : table) {
        for (const char *algorithm : {"md5", "sha256", "both"}) {
            const CtlResult r = tboxctl({"digest", path, "--algorithm", algorithm});
            EXPECT_EQ(r.status, 1) << path << " " << algorithm;
            EXPECT_EQ(r.out, "") << path << " " << algorithm;
            EXPECT_EQ(r.err, line) << path << " " << algorithm;
        }
    }
    tbox::test::run("md5sum /proc/version | cut -c1-32 | tr a-f A-F | tr -d '\\n' > " + (dir / "md5"));
    const CtlResult proc = tboxctl({"digest", "/proc/version", "--algorithm", "md5"});
    EXPECT_EQ(proc.status, 0) << proc.err;
    EXPECT_EQ(proc.out, "file: /proc/version\nmd5: " + tbox::test::get(dir / "md5") + "\n");
}

TEST(TboxctlFiles, UartSendsAndReceivesOnAPseudoTerminal) {
    int master = -1;
    int slave = -1;
    char name[128] = "";
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);  // bytes written before tboxctl opens it stay bytes
    run_session(
        {{{"uart", "send", name, "A1B2C3", "--speed", "9600"}, 0, "device: " + std::string(name) + "\nsent: 3\n"}});
    unsigned char got[8] = {};
    ASSERT_EQ(read(master, got, sizeof got), 3);
    EXPECT_EQ(got[0], 0xA1);
    EXPECT_EQ(got[2], 0xC3);
    const CtlResult r = tboxctl_while({"--json", "uart", "receive", name, "--wait", "30", "--bytes", "2"},
                                      [&] { EXPECT_EQ(write(master, "\x5a\xa5", 2), 2); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"device\": \"" + std::string(name) + "\", \"received\": 2, \"data\": \"5AA5\"}\n");
    close(slave);
    close(master);
}

}  // namespace
