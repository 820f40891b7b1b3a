#include "service/hub/api/request_params.hpp"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "service/hub/api/form_urlencoded.hpp"

namespace zembra::hub {
namespace {

using namespace std::string_literals;

TEST(FormUrlencoded, DecodesLikeBrowsers) {
    struct Case {
        const char* query;
        std::vector<FormPair> pairs;
    };
    const Case cases[] = {
        {"", {}},
        {"&&", {}},
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"flag", {{"flag", ""}}},
        {"a==b", {{"a", "=b"}}},
        {"a+b=c+d", {{"a b", "c d"}}},
        {"a=%2B%2b%41", {{"a", "++A"}}},
        {"a=%zz%4%", {{"a", "%zz%4%"}}},
        {"a=%C3%A9", {{"a", "\xC3\xA9"}}},
        {"a=%FF", {{"a", "\xEF\xBF\xBD"}}},
        {"%61=x", {{"a", "x"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(parse_form_urlencoded(c.query), c.pairs);
    }
}

TEST(PingQuery, NeedsExactlyOneCoreSha256) {
    struct Case {
        const char* query;
        std::optional<std::string> core_sha256;
    };
    const Case cases[] = {
        {"coreSha256=abc", "abc"},
        {"&coreSha256=abc&", "abc"},
        {"coreSha256=", ""},
        {"coreSha256", ""},
        {"coreSha256=a+b%2F", "a b/"},
        {"core%53ha256=abc", "abc"},
        {"", std::nullopt},
        {"coreSha256=a&coreSha256=a", std::nullopt},
        {"coreSha256=a&other=b", std::nullopt},
        {"coresha256=a", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(parse_ping_query(c.query).transform([](PingParams p) { return p.core_sha256; }),
                  c.core_sha256);
    }
}

TEST(StartBody, AcceptsTheObjectAndTheArrayForm) {
    struct Case {
        std::string body;
        const char* address;
        const char* session_id;
    };
    const Case cases[] = {
        {R"({"address":"/tmp/a","sessionId":"s"})", "/tmp/a", "s"},
        {R"({"sessionId":"s","address":"/tmp/a"})", "/tmp/a", "s"},
        {" \t\r\n{ \"address\" : \"/tmp/a\" , \"sessionId\" : \"s\" } \n", "/tmp/a", "s"},
        {R"(["/tmp/a","s"])", "/tmp/a", "s"},
        {R"({"address":"\u00e9\n\"","sessionId":""})", "\xC3\xA9\n\"", ""},
        {R"({"addr\u0065ss":"x","sessionId":"s"})", "x", "s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const std::optional<StartParams> params = parse_start_body(c.body);
        ASSERT_TRUE(params);
        EXPECT_EQ(params->address, c.address);
        EXPECT_EQ(params->session_id, c.session_id);
    }
}

TEST(StartBody, RefusesAnythingElse) {
    const std::string cases[] = {
        "",
        " ",
        R"({"address":"a","sessionId":"s","extra":"x"})",
        R"({"address":"a","sessionId":"s","sessionId":"s"})",
        R"({"address":"a"})",
        R"({"Address":"a","sessionId":"s"})",
        R"({"address":1,"sessionId":"s"})",
        R"({"address":null,"sessionId":"s"})",
        R"({"address":true,"sessionId":"s"})",
        R"({"address":{"x":"y"},"sessionId":"s"})",
        R"({"address":["a"],"sessionId":"s"})",
        R"(["a"])",
        R"(["a","s","x"])",
        R"(["a",2])",
        R"([["a","s"]])",
        R"("a")",
        "null",
        R"({"address":"a","sessionId":"s"} x)",
        R"({"address":"a","sessionId":"s"}{})",
        R"({"address":"a","sessionId":"s",})",
        R"({"address":"a",/*c*/"sessionId":"s"})",
        "{\"address\":\"\xFF\",\"sessionId\":\"s\"}",
        "\xEF\xBB\xBF{\"address\":\"a\",\"sessionId\":\"s\"}",
        R"({"address":"a","sessionId":"s")",
        "{\"address\":\"a\",\"sessionId\":\"s\"}\0"s,
    };
    for (const std::string& body : cases) {
        SCOPED_TRACE(body);
        EXPECT_FALSE(parse_start_body(body));
    }
}

TEST(StopBody, TakesOnlyTheSessionId) {
    EXPECT_EQ(parse_stop_body(R"({"sessionId":"s"})")->session_id, "s");
    EXPECT_EQ(parse_stop_body(R"(["s"])")->session_id, "s");
    EXPECT_FALSE(parse_stop_body(R"({"sessionId":"s","address":"a"})"));
    EXPECT_FALSE(parse_stop_body(R"({"sessionId":"s"}  ,)"));
    EXPECT_FALSE(parse_stop_body("{}"));
    EXPECT_FALSE(parse_stop_body("[]"));
}

}  // namespace
}  // namespace zembra::hub
