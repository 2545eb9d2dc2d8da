// tboxctl: one command line for every service of the box, built only on the SDK's public API.
//
//   tboxctl [--json] [--address ADDR] <domain> <command> [arguments]     (tboxctl --help for the list)
//
// Exit status 0 on success, 1 when the box reports a failure, 2 on bad usage (nothing is sent then).
#include <cstdio>

#include "cli.h"

namespace tboxctl {
namespace {

int completion(Context &, const Args &) {
    std::fputs(bash_completion(command_table()).c_str(), stdout);
    return kOk;
}

}  // namespace

const Command &command_table() {
    static const Command root =
        group("tboxctl", "Ask the telematics box a question or drive one step of its services.",
              {modem_commands(), gnss_commands(), param_commands(), net_commands(), wifi_commands(), pm_commands(),
               gb_commands(), mcu_commands(), upgrade_commands(), patch_command(), digest_command(), uart_commands(),
               record_command(),
               leaf("completion", "print the bash completion script (source <(tboxctl completion bash))",
                    {choice("SHELL", "bash", "the shell")}, completion)});
    return root;
}

}  // namespace tboxctl

int main(int argc, char **argv) {
    return tboxctl::run_command_line(argc, argv);
}
