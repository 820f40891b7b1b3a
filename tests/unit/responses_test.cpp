#include "service/hub/api/responses.hpp"

#include <gtest/gtest.h>

namespace zembra::hub {
namespace {

std::string header(const http::Response& response, std::string_view name) {
    const std::string* value = response.field(name);
    return value ? *value : "<absent>";
}

TEST(JsonBodies, EscapeStringsByTheByteRules) {
    struct Case {
        std::string_view message;
        std::string_view written;
    };
    static const Case CASES[] = {
        {"quote \" and backslash \\", R"(quote \" and backslash \\)"},
        {"short\b\t\n\f\rforms", R"(short\b\t\n\f\rforms)"},
        {std::string_view("\x00\x01\x1f", 3), R"(\u0000\u0001\u001f)"},
        {"\x7f stays", "\x7f stays"},
        {"Привет, 世界 😀", "Привет, 世界 😀"},
        {"/ is not escaped", "/ is not escaped"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.written);
        const http::Response response =
            error_response("internalError", std::string(c.message), 500);
        EXPECT_EQ(response.body,
                  R"({"code":"internalError","message":")" + std::string(c.written) + "\"}");
    }
}

TEST(JsonBodies, KeepKeyOrderAndLeaveOutAbsentKeys) {
    struct Case {
        http::Response response;
        std::string_view body;
    };
    const Case cases[] = {
        {json_response(StopResponse{"ab", true, std::nullopt}, 200),
         R"({"sessionId":"ab","stopped":true})"},
        {json_response(StopResponse{"ab", false, "notRunning"}, 200),
         R"({"sessionId":"ab","stopped":false,"reason":"notRunning"})"},
        {json_response(StartResponse{"ab", 4294967295u}, 200),
         R"({"sessionId":"ab","pid":4294967295})"},
        {json_response(ErrorResponse{"processLaunchFailed", "No such file", ErrorDetails{-2}}, 500),
         R"({"code":"processLaunchFailed","message":"No such file","details":{"osError":-2}})"},
        {json_response(ErrorResponse{"processLaunchFailed", "bad owner", std::nullopt}, 500),
         R"({"code":"processLaunchFailed","message":"bad owner"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(c.response.body, c.body);
        EXPECT_EQ(header(c.response, "Content-Type"), "application/json");
        EXPECT_EQ(c.response.fields.size(), 1u);
    }
}

TEST(JsonBodies, TextResponseIsPlainUtf8) {
    const http::Response response = text_response("/usr/bin/x", 409);
    EXPECT_EQ(response.status, 409u);
    EXPECT_EQ(response.body, "/usr/bin/x");
    EXPECT_EQ(header(response, "content-type"), "text/plain; charset=utf-8");
}

}  // namespace
}  // namespace zembra::hub
