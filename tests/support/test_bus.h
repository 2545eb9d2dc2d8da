// A private dbus-daemon per test process, standing in for the system bus, and the helper programs tests
// start (bus daemons, HTTP peers).
#pragma once

#include <glib.h>

#include <string>
#include <vector>

namespace tbox::test {

// Starts the daemon on first use and points DBUS_SYSTEM_BUS_ADDRESS at it (call before any GIO use of
// the system bus). The daemon is killed at process exit.
const std::string &private_bus_address();

// Starts a dbus-daemon listening in a new temporary directory (dir); returns its address. The caller stops it.
std::string start_bus_daemon(GPid &pid, std::string &dir);
void stop_bus_daemon(GPid pid, const std::string &dir);

// Starts the program argv[0] (searched in PATH; argv ends with nullptr) and returns the first line it
// prints (its address, its port); `pid` is then the caller's to stop. Started from the main thread, it
// is killed when the test process ends, however that ends: a sanitizer report ends the process at once,
// without atexit handlers, and a helper left running would hold the test's output open, so that ctest
// waited for the test's time-out. Throws when it cannot start, and `failure` when it prints no line.
std::string start_helper(const std::vector<const char *> &argv, GPid &pid, const std::string &failure);

// Ends the private bus's daemon, as a crash or restart of the system bus does; every connection to it closes.
void stop_private_bus();
// Starts a daemon again on the private bus's address (after stop_private_bus); services must come again.
void restart_private_bus();

}  // namespace tbox::test
