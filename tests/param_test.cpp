// Parameter client against a fake ky.param service holding a few parameters.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/fake_service.h"
#include "support/log_capture.h"
#include "support/test_bus.h"
#include "tbox/param.h"

using tbox::test::FakeService;
using tbox::test::LogCapture;

namespace {

using Strings = std::vector<std::string>;

// The service's store: index -> (type, text). Unknown indexes answer a D-Bus error.
class ParamClient : public ::testing::Test {
protected:
    void SetUp() override {
        service.handle("handle-get-param-type", [this](GDBusMethodInvocation *inv) {
            if (const auto *p = find(inv)) ky_param_complete_get_param_type(nullptr, inv, p->first);
            return true;
        });
        service.handle("handle-get-param", [this](GDBusMethodInvocation *inv) {
            if (const auto *p = find(inv)) ky_param_complete_get_param(nullptr, inv, p->second.c_str());
            return true;
        });
        service.handle("handle-set-param", [this](GDBusMethodInvocation *inv) {
            if (find(inv) == nullptr) return true;
            if (set_error != nullptr) {
                g_dbus_method_invocation_return_dbus_error(inv, "ky.param.Error", set_error);
            } else {
                ky_param_complete_set_param(nullptr, inv);
            }
            return true;
        });
    }
    const std::pair<int, std::string> *find(GDBusMethodInvocation *inv) {
        gint index = 0;
        g_variant_get_child(g_dbus_method_invocation_get_parameters(inv), 0, "i", &index);
        const auto it = store.find(index);
        if (it != store.end()) return &it->second;
        g_dbus_method_invocation_return_dbus_error(inv, "ky.param.Error",
                                                   ("no parameter " + std::to_string(index)).c_str());
        return nullptr;
    }
    FakeService service{"ky.param", "/ky/param", [] { return gpointer(ky_param_skeleton_new()); }};
    const char *set_error = nullptr;
    std::map<int, std::pair<int, std::string>> store{
        {1, {1, "42"}}, {2, {1, "abc"}}, {3, {1, "-7x"}}, {5, {0, "apn.net"}}};
};

TEST_F(ParamClient, NothingIsSentBeforeInitialisationAndASecondInitIsRefused) {
    int number = 0;
    EXPECT_EQ(GetParamsValueType(1, &number), -1);
    EXPECT_EQ(GetParamsValue(1, &number), -1);
    EXPECT_EQ(SetParamsValue(1, &number), -1);
    EXPECT_EQ(SetParamsMaxAndMin(1, 2, 3), -1);
    EXPECT_EQ(service.members(), Strings{});
    ASSERT_EQ(InitParamsInterface(), 0);
    KyParam *first = g_cliParam;
    EXPECT_EQ(InitParamsInterface(), -1);
    EXPECT_EQ(g_cliParam, first);
    EXPECT_EQ(GetParamsValue(1, nullptr), -1);
    EXPECT_EQ(SetParamsValue(1, nullptr), -1);
    EXPECT_EQ(service.members(), Strings{});
}

TEST_F(ParamClient, IntegersTravelAsDecimalTextBothWaysWithTheTypeAskedFirst) {
    ASSERT_EQ(InitParamsInterface(), 0);
    const std::pair<int, int> reads[] = {{1, 42}, {2, 0}, {3, -7}};
    for (const auto &[index, expected] : reads) {
        int number = 99;
        EXPECT_EQ(GetParamsValue(index, &number), 0);
        EXPECT_EQ(number, expected) << index;
    }
    const int writes[] = {-5, 2147483647, -2147483647 - 1};
    for (int number : writes) EXPECT_EQ(SetParamsValue(1, &number), 0);
    EXPECT_EQ(service.calls_to("SetParam"), (Strings{"(1, '-5')", "(1, '2147483647')", "(1, '-2147483648')"}));
    EXPECT_EQ(SetParamsMaxAndMin(7, 100, 10), -1);  // the fake has no handler: a D-Bus error
    EXPECT_EQ(service.calls_to("SetParamMaxMin"), Strings{"(7, 100, 10)"});
    Strings expected;
    for (int i = 0; i < 6; ++i) expected.push_back("GetParamType"), expected.push_back(i < 3 ? "GetParam" : "SetParam");
    expected.push_back("SetParamMaxMin");
    EXPECT_EQ(service.members(), expected);
}

TEST_F(ParamClient, TextsAreCopiedWholeAndTooLongOrNonUtf8TextsAreRefused) {
    ASSERT_EQ(InitParamsInterface(), 0);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetParamsValue(5, buffer), 0);
    EXPECT_EQ(std::string(buffer, 9), std::string("apn.net\0#", 9));
    const std::string longest(1023, 'x');
    EXPECT_EQ(SetParamsValue(5, longest.c_str()), 0);
    EXPECT_EQ(service.calls_to("SetParam"), Strings{"(5, '" + longest + "')"});
    LogCapture log;
    const std::string too_long(1024, 'x');
    EXPECT_EQ(SetParamsValue(5, too_long.c_str()), -1);
    EXPECT_EQ(SetParamsValue(5, "caf\xe9"), -1);
    EXPECT_TRUE(log.has("set param error:text longer than 1023 characters\n"));
    EXPECT_TRUE(log.has("set param error:text is not UTF-8\n"));
    EXPECT_EQ(service.count("SetParam"), 1u);
}

TEST_F(ParamClient, BusErrorsAreLoggedWithTheirMessageAndStopTheSecondCall) {
    ASSERT_EQ(InitParamsInterface(), 0);
    int number = 0;
    LogCapture log;
    EXPECT_EQ(GetParamsValue(9, &number), -1);
    EXPECT_EQ(SetParamsValue(9, &number), -1);
    EXPECT_EQ(service.members(), (Strings{"GetParamType", "GetParamType"}));
    EXPECT_TRUE(log.has("get param error:GDBus.Error:ky.param.Error: no parameter 9\n"));
    store[9] = {0, "late"};
    set_error = "read-only";
    EXPECT_EQ(SetParamsValue(9, "new"), -1);
    EXPECT_TRUE(log.has("set param error:GDBus.Error:ky.param.Error: read-only\n"));
    EXPECT_EQ(SetParamsMaxAndMin(9, 1, 0), -1);
    EXPECT_TRUE(log.contains("set  param max min error:GDBus.Error:org.freedesktop.DBus.Error.UnknownMethod"));
}

}  // namespace
