// What the six platform-service clients share: without a system bus each initialisation fails with its
// own code and line, on its own channel and from its own source file, and a later call succeeds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/test_bus.h"
#include "tbox/gb.h"
#include "tbox/gnss.h"
#include "tbox/net.h"
#include "tbox/param.h"
#include "tbox/pm.h"
#include "tbox/wifi.h"

namespace {

void on_record(int32_t, const uint8_t *) {}

struct Row {
    std::function<int()> init;
    int failure;
    const char *printed;  // the printed line's text before GIO's message, or null when it is logged
    const char *logged;   // " [err] <source>-" then, after the line number, this text before GIO's message
    const char *source, *tail;
};

TEST(Clients, InitialisationWithoutABusFailsWithTheModulesOwnLineAndALaterOneSucceeds) {
    const Row rows[] = {
        {[] { return int{InitGNSSInterface(nullptr, nullptr)}; }, 255, "Error:new proxy for gnss[", nullptr, "", "]\n"},
        {InitParamsInterface, -1, nullptr, "Error:new proxy for param[", "param_api.cpp", "]\n"},
        {InitNetInterface, -1, nullptr, "[NET] init dbus proxy error: ", "net_api.cpp", " \n"},
        {InitWifiInterface, -1, "Error:new proxy for wifi[", nullptr, "", "]\n"},
        {[] { return InitPmClient("nav"); }, -1, "Error:new proxy PM Error.ModuleName:[nav],Err:[", nullptr, "", "]\n"},
        {[] { return InitGbRealDataClient(on_record); }, -1, nullptr, "Error:new proxy for GbReal[", "gb_api.cpp",
         "]\n"},
    };
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tbox-test-socket", 1);
    GError *error = nullptr;
    g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    ASSERT_NE(error, nullptr);
    const std::string message = error->message;
    g_error_free(error);
    for (const Row &row : rows) {
        tbox::test::LogCapture log;
        tbox::test::PrintCapture printed;
        EXPECT_EQ(row.init(), row.failure);
        if (row.printed != nullptr) {
            EXPECT_EQ(printed.take(), row.printed + message + row.tail);
            EXPECT_FALSE(log.contains("proxy"));
        } else {
            EXPECT_TRUE(log.has(row.logged + message + row.tail)) << row.logged;
            EXPECT_TRUE(log.contains(std::string(" [err] ") + row.source + "-")) << row.source;
            EXPECT_EQ(printed.take(), "");
        }
    }
    tbox::test::private_bus_address();  // the bus appears
    for (const Row &row : rows) EXPECT_EQ(row.init(), 0);
}

}  // namespace
