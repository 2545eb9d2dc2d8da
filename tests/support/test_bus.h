// A private dbus-daemon per test process, standing in for the system bus.
#pragma once

#include <string>

namespace tbox::test {

// Starts the daemon on first use and points DBUS_SYSTEM_BUS_ADDRESS at it (call before any GIO use of
// the system bus). The daemon is killed at process exit.
const std::string &private_bus_address();

}  // namespace tbox::test
