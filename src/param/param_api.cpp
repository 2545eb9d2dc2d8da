#include "tbox/param.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/dbus_client.h"
#include "common/log.h"

KyParam *g_cliParam = nullptr;

namespace {

using tbox::client::call;

constexpr size_t kWriteBufferSize = PARAM_TEXT_MAX + 1;

// Fills `buffer` with the wire text of `value` for a parameter of `type`; false (logged) when the
// caller's text cannot be sent.
bool wire_text(int type, const void *value, char (&buffer)[kWriteBufferSize]) {
    if (type == PARAM_TYPE_INT) {
        std::snprintf(buffer, sizeof buffer, "%d", *static_cast<const int *>(value));
        return true;
    }
    const auto *text = static_cast<const char *>(value);
    const size_t length = strnlen(text, sizeof buffer);
    if (length == sizeof buffer) {
        TBOX_LOG(err, "set param error:text longer than %d characters\n", PARAM_TEXT_MAX);
        return false;
    }
    if (!tbox::client::is_utf8(text)) {
        TBOX_LOG(err, "set param error:text is not UTF-8\n");
        return false;
    }
    std::memcpy(buffer, text, length + 1);
    return true;
}

}  // namespace

int InitParamsInterface(void) {
    if (g_cliParam != nullptr) return -1;
    g_cliParam = tbox::client::open_proxy(ky_param_proxy_new_for_bus_sync, "ky.param", "/ky/param",
                                          TBOX_REPORT_LOG(err, "Error:new proxy for param[%s]\n"), &g_cliParam);
    return g_cliParam != nullptr ? 0 : -1;
}

int GetParamsValueType(int paramIndex, int *type) {
    if (type == nullptr) return -1;
    const bool ok = call(TBOX_REPORT_LOG(err, "get param error:%s\n"), ky_param_call_get_param_type_sync, g_cliParam,
                         paramIndex, type);
    return ok ? 0 : -1;
}

int GetParamsValue(int paramIndex, void *value) {
    if (g_cliParam == nullptr || value == nullptr) return -1;
    int type = 0;
    if (GetParamsValueType(paramIndex, &type) != 0) return -1;
    tbox::GCharOut text;
    if (!call(TBOX_REPORT_LOG(err, "get param error:%s\n"), ky_param_call_get_param_sync, g_cliParam, paramIndex,
              text.out())) {
        return -1;
    }
    const char *received = text.get() != nullptr ? text.get() : "";
    TBOX_LOG(debug, "get param success:%s\n", received);
    if (type == PARAM_TYPE_INT) {
        const int number = std::atoi(received);
        *static_cast<int *>(value) = number;
        TBOX_LOG(debug, "idx:%d,value:%d\n", paramIndex, number);
    } else {
        std::strcpy(static_cast<char *>(value), received);
        TBOX_LOG(debug, "idx:%d,value:%s\n", paramIndex, received);
    }
    return 0;
}

int SetParamsValue(int paramIndex, const void *value) {
    char buffer[kWriteBufferSize] = {0};
    int type = 1;
    if (g_cliParam == nullptr || value == nullptr) return -1;
    if (GetParamsValueType(paramIndex, &type) != 0) return -1;
    if (!wire_text(type, value, buffer)) return -1;
    const bool ok = call(TBOX_REPORT_LOG(err, "set param error:%s\n"), ky_param_call_set_param_sync, g_cliParam,
                         paramIndex, buffer);
    return ok ? 0 : -1;
}

int SetParamsMaxAndMin(int paramIndex, int max, int min) {
    const bool ok = call(TBOX_REPORT_LOG(err, "set  param max min error:%s\n"), ky_param_call_set_param_max_min_sync,
                         g_cliParam, paramIndex, max, min);
    return ok ? 0 : -1;
}
