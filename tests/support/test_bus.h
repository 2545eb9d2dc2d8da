// A private dbus-daemon per test process, standing in for the system bus.
#pragma once

#include <glib.h>

#include <string>

namespace tbox::test {

// Starts the daemon on first use and points DBUS_SYSTEM_BUS_ADDRESS at it (call before any GIO use of
// the system bus). The daemon is killed at process exit.
const std::string &private_bus_address();

// Starts a dbus-daemon listening in a new temporary directory (dir); returns its address. The caller stops it.
std::string start_bus_daemon(GPid &pid, std::string &dir);

// Ends the private bus's daemon, as a crash or restart of the system bus does; every connection to it closes.
void stop_private_bus();
// Starts a daemon again on the private bus's address (after stop_private_bus); services must come again.
void restart_private_bus();

}  // namespace tbox::test
