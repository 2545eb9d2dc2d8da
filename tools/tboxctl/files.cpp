// tboxctl patch, digest and uart: the file and serial-port utilities (tbox/patch.h, digest.h, uart.h).
#include <sys/stat.h>
#include <tbox/digest.h>
#include <tbox/patch.h>
#include <tbox/uart.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"

namespace tboxctl {
namespace {

int patch(Context &ctx, const Args &args) {
    // BSDiffPatchFile writes its own diagnostic line to stderr on failure.
    if (BSDiffPatchFile(args.text("OLD").c_str(), args.text("NEW").c_str(), args.text("PATCH").c_str()) != 0) {
        return ctx.fail("the patch could not be applied");
    }
    ctx.print(Answer().text("patched", args.text("NEW")));
    return kOk;
}

// Why the library gave no digest of `path`: it digests regular files only (a device such as /dev/zero would
// never end, a pipe would be drained, a directory has no bytes), and reads the rest to their end.
std::string no_digest(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    const char *kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISFIFO(st.st_mode) ? "a pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : nullptr;
    if (kind != nullptr) return path + " is " + kind + ", not a regular file: no digest";
    return "cannot read " + path;
}

int digest(Context &ctx, const Args &args) {
    const std::string &path = args.text("FILE");
    const std::string &which = args.has("--algorithm") ? args.text("--algorithm") : "both";
    Answer a;
    a.text("file", path);
    if (which != "sha256") {
        char md5[33];
        if (FileMD5(path.c_str(), md5) == nullptr) return ctx.fail(no_digest(path));
        a.text("md5", md5);
    } else {
        a.none("md5");
    }
    if (which != "md5") {
        char sha[65];
        if (FileSHA256(path.c_str(), sha) == nullptr) return ctx.fail(no_digest(path));
        a.text("sha256", sha);
    } else {
        a.none("sha256");
    }
    ctx.print(a);
    return kOk;
}

constexpr const char kSpeeds[] =
    "9600|38400|57600|115200|460800|576000|921600|1500000|2000000|2500000|3000000|3500000|4000000";

int open_port(Context &ctx, const Args &args, int &fd) {
    const std::string speed = args.has("--speed") ? args.text("--speed") : "115200";
    const std::string parity = args.has("--parity") ? args.text("--parity") : "none";
    const uint8_t parity_code = parity == "odd" ? 1 : parity == "even" ? 2 : 0;
    fd = UartInit(args.text("DEVICE").c_str(), std::stoi(speed), args.has("--rtscts") ? 1 : 0,
                  static_cast<uint8_t>(args.integer("--data-bits", 8)),
                  static_cast<uint8_t>(args.integer("--stop-bits", 1)), parity_code);
    if (fd < 0) return ctx.fail("cannot open " + args.text("DEVICE"));
    return kOk;
}

int uart_send(Context &ctx, const Args &args) {
    const std::vector<uint8_t> data = args.bytes("DATA");
    int fd = -1;
    if (const int s = open_port(ctx, args, fd); s != kOk) return s;
    const int sent = data.empty() ? 0 : UartSendData(fd, data.data(), static_cast<uint32_t>(data.size()));
    UartClose(fd);
    if (sent != static_cast<int>(data.size()))
        return ctx.fail("only " + std::to_string(sent < 0 ? 0 : sent) + " bytes written");
    ctx.print(Answer().text("device", args.text("DEVICE")).number("sent", sent));
    return kOk;
}

int uart_receive(Context &ctx, const Args &args) {
    const auto size = static_cast<size_t>(args.integer("--bytes", 256));
    int fd = -1;
    if (const int s = open_port(ctx, args, fd); s != kOk) return s;
    UartSetCC(fd, static_cast<uint8_t>(args.integer("--wait", 10)), 0);
    std::vector<uint8_t> buffer(size);
    const int got = UartRecvData(fd, buffer.data(), static_cast<uint32_t>(size));
    UartClose(fd);
    if (got < 0) return ctx.fail("cannot read " + args.text("DEVICE"));
    ctx.print(Answer()
                  .text("device", args.text("DEVICE"))
                  .number("received", got)
                  .text("data", hex_text(buffer.data(), static_cast<size_t>(got))));
    return kOk;
}

std::vector<Param> port_params() {
    return {arg("DEVICE", Kind::File, "the serial device, e.g. /dev/ttyS1"),
            choice("--speed", kSpeeds, "bits per second (default 115200)"),
            int_option("--data-bits", 5, 8, "data bits, default 8"),
            int_option("--stop-bits", 1, 2, "stop bits, default 1"),
            choice("--parity", "none|odd|even", "parity (default none)"),
            option("--rtscts", Kind::Flag, "hardware flow control")};
}

}  // namespace

Command patch_command() {
    return leaf("patch", "rebuild NEW from OLD and a bsdiff 4.0 PATCH (NEW is replaced only when complete)",
                {arg("OLD", Kind::File, "the old file"), arg("NEW", Kind::Path, "the file to write"),
                 arg("PATCH", Kind::File, "the patch, as made by bsdiff OLD NEW PATCH")},
                patch);
}

Command digest_command() {
    return leaf(
        "digest", "MD5 and SHA-256 of a regular file (upper-case hex; anything else is a failure)",
        {arg("FILE", Kind::File, "the file"), choice("--algorithm", "md5|sha256|both", "which digest (default both)")},
        digest);
}

Command uart_commands() {
    std::vector<Param> send_params = port_params();
    send_params.insert(send_params.begin() + 1, arg("DATA", Kind::Hex, "the bytes to write, as hex"));
    std::vector<Param> receive_params = port_params();
    receive_params.push_back(int_option("--bytes", 1, 65536, "read at most N bytes, default 256"));
    receive_params.push_back(int_option("--wait", 0, 255, "wait up to N tenths of a second for data, default 10"));
    return group(
        "uart", "Serial ports.",
        {leaf("send", "write bytes to a serial device", send_params, uart_send),
         leaf("receive", "read once from a serial device and print the bytes as hex", receive_params, uart_receive)});
}

}  // namespace tboxctl
