// tboxctl param: the box's configuration parameters (tbox/param.h).
#include <tbox/param.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "cli.h"

namespace tboxctl {
namespace {

union Value {
    int number;
    char text[PARAM_TEXT_MAX + 1];
};

const char *kind_name(int type) {
    return type == PARAM_TYPE_INT ? "integer" : "text";
}

int index_of(const Args &args) {
    return static_cast<int>(args.integer("INDEX"));
}

// Initialises the client and asks for the parameter's type; kOk or the exit status.
int type_of(Context &ctx, int index, int &type) {
    if (InitParamsInterface() != 0) return ctx.fail("cannot reach the parameter service (ky.param)");
    if (GetParamsValueType(index, &type) != 0) return ctx.fail("no parameter " + std::to_string(index));
    return kOk;
}

Answer value_answer(int index, int type, const Value &value) {
    Answer a;
    a.number("index", index).text("type", kind_name(type));
    if (type == PARAM_TYPE_INT) {
        a.number("value", value.number);
    } else {
        a.text("value", value.text);
    }
    return a;
}

int type(Context &ctx, const Args &args) {
    int t = 0;
    if (const int status = type_of(ctx, index_of(args), t); status != kOk) return status;
    ctx.print(Answer().number("index", index_of(args)).number("type", t).text("kind", kind_name(t)));
    return kOk;
}

int get(Context &ctx, const Args &args) {
    const int index = index_of(args);
    int t = 0;
    if (const int status = type_of(ctx, index, t); status != kOk) return status;
    Value value{};
    if (GetParamsValue(index, &value) != 0) return ctx.fail("cannot read parameter " + std::to_string(index));
    ctx.print(value_answer(index, t, value));
    return kOk;
}

int set(Context &ctx, const Args &args) {
    const int index = index_of(args);
    const std::string &text = args.text("VALUE");
    if (text.size() > PARAM_TEXT_MAX)
        return ctx.usage("VALUE: longer than " + std::to_string(PARAM_TEXT_MAX) + " characters");
    int t = 0;
    if (const int status = type_of(ctx, index, t); status != kOk) return status;
    Value value{};
    if (t == PARAM_TYPE_INT) {
        errno = 0;
        char *end = nullptr;
        const long long n = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0')
            return ctx.usage("VALUE: parameter " + std::to_string(index) + " takes an integer, not '" + text + "'");
        if (errno == ERANGE || n < INT_MIN || n > INT_MAX)
            return ctx.usage("VALUE: " + text + " is out of range for an integer");
        value.number = static_cast<int>(n);
    } else {
        text.copy(value.text, PARAM_TEXT_MAX);
    }
    if (SetParamsValue(index, &value) != 0)
        return ctx.fail("the box refused value '" + text + "' for parameter " + std::to_string(index));
    Value stored{};
    if (GetParamsValue(index, &stored) != 0)
        return ctx.fail("cannot read parameter " + std::to_string(index) + " back");
    ctx.print(value_answer(index, t, stored));
    return kOk;
}

int limits(Context &ctx, const Args &args) {
    const int index = index_of(args);
    const auto min = static_cast<int>(args.integer("MIN"));
    const auto max = static_cast<int>(args.integer("MAX"));
    if (min > max) return ctx.usage("MIN " + std::to_string(min) + " is above MAX " + std::to_string(max));
    if (InitParamsInterface() != 0) return ctx.fail("cannot reach the parameter service (ky.param)");
    if (SetParamsMaxAndMin(index, max, min) != 0)
        return ctx.fail("the box refused the limits of parameter " + std::to_string(index));
    ctx.print(Answer().number("index", index).number("min", min).number("max", max));
    return kOk;
}

const char *const kSetDetails =
    "A VALUE that is not valid UTF-8, or longer than " G_STRINGIFY(PARAM_TEXT_MAX) " characters, is refused before\n"
    "anything is sent. "
    "Whether VALUE must be an integer depends on the parameter, so its type is asked of the box first: a\n"
    "VALUE of the wrong type (or out of the integer range) is then refused with exit status 2 after that one\n"
    "query, and nothing is written.";

Param index_param() {
    return int_arg("INDEX", 0, INT_MAX, "the parameter's index");
}

}  // namespace

Command param_commands() {
    return group(
        "param", "Configuration parameters: type, value, limits.",
        {leaf("type", "the parameter's value type (1 integer, other: text)", {index_param()}, type),
         leaf("get", "the parameter's value", {index_param()}, get),
         with_details(
             leaf("set", "write the parameter's value, then read it back",
                  {index_param(), arg("VALUE", Kind::Text, "an integer or a text, as the parameter's type")}, set),
             kSetDetails),
         leaf("limits", "set the parameter's minimum and maximum",
              {index_param(), int_arg("MIN", INT_MIN, INT_MAX, "the smallest value (or text length)"),
               int_arg("MAX", INT_MIN, INT_MAX, "the largest value (or text length)")},
              limits)});
}

}  // namespace tboxctl
