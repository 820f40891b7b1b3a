// Routing, the ping query and the request bodies as real clients send them, over both
// protocols.
#include <cctype>
#include <optional>
#include <string>

#include "e2e/api_fixture.hpp"

namespace zembra::test {
namespace {

const std::string DIGEST(hub::EXPECTED_CORE_SHA256);
const std::string NOT_RUNNING = "{\"sessionId\":\"" + std::string(SESSION_ID) +
                                "\",\"stopped\":false,\"reason\":\"notRunning\"}";
const std::string BAD_BODY = error_json("invalidRequest", "invalid JSON request body");
const std::string BAD_ADDRESS = error_json("invalidRequest", "invalid Core address");

struct Exchange {
    const char* name;
    CurlRequest request;
    int status;
    std::optional<std::string> body;  // checked when given
};

void expect_answer(const HttpAnswer& answer, const Exchange& expected) {
    EXPECT_EQ(answer.status, expected.status);
    if (expected.body) {
        EXPECT_EQ(answer.body, *expected.body);
    }
}

using Routes = ApiTest;

TEST_P(Routes, PathAndMethodMatchExactly) {
    const Exchange cases[] = {
        {"ping", {.target = ping_target()}, 200, std::nullopt},
        {"ping with slash", {.target = "/ping/?coreSha256=" + DIGEST}, 200, std::nullopt},
        {"logs with slash and query", {.target = "/logs/?anything"}, 200, std::nullopt},
        {"double slash", {.target = "/ping//?coreSha256=" + DIGEST}, 404, std::nullopt},
        {"sub-path", {.target = "/ping/x"}, 404, std::nullopt},
        {"capital", {.target = "/Ping"}, 404, std::nullopt},
        {"all capitals", {.target = "/PING"}, 404, std::nullopt},
        {"escaped letter", {.target = "/p%69ng?coreSha256=" + DIGEST}, 404, std::nullopt},
        {"root", {.target = "/"}, 404, std::nullopt},
        {"HEAD ping", {.method = "HEAD", .target = ping_target()}, 405, std::nullopt},
        {"POST logs", {.method = "POST", .target = "/logs"}, 405, std::nullopt},
        {"GET start", {.target = "/start"}, 405, std::nullopt},
    };
    for (const Exchange& c : cases) {
        SCOPED_TRACE(c.name);
        expect_answer(ask(c.request), c);
    }
}

TEST_P(Routes, PingQueryNamesTheDigestOnce) {
    const std::string invalid = error_json("invalidRequest", "invalid ping query");
    const std::string mismatch = error_json("coreSha256Mismatch", "Core SHA256 mismatch");
    std::string upper = DIGEST;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const Exchange cases[] = {
        {"no query", {.target = "/ping"}, 400, invalid},
        {"empty query", {.target = "/ping?"}, 400, invalid},
        {"twice", {.target = ping_target() + "&coreSha256=" + DIGEST}, 400, invalid},
        {"another name", {.target = ping_target() + "&x=1"}, 400, invalid},
        {"empty pieces around", {.target = "/ping?&coreSha256=" + DIGEST + "&"}, 200, std::nullopt},
        {"escaped name", {.target = "/ping?core%53ha256=" + DIGEST}, 200, std::nullopt},
        {"upper-case digest", {.target = ping_target(upper)}, 409, mismatch},
        {"empty digest", {.target = "/ping?coreSha256="}, 409, mismatch},
    };
    for (const Exchange& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpAnswer answer = ask(c.request);
        expect_answer(answer, c);
        EXPECT_EQ(answer.field(PROTOCOL_HEADER), "6");
    }
}

TEST_P(Routes, PingAnswersWithTheHelperPath) {
    const HttpAnswer answer = ask({.target = ping_target()});
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, helper_.executable());
    EXPECT_EQ(answer.field("content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(answer.field(PROTOCOL_HEADER), "6");
}

TEST_P(Routes, BodiesAreReadUpToTheirDeclaredLimit) {
    const std::string stop = stop_json(SESSION_ID);
    const std::string padded = stop + std::string(4096 - stop.size(), ' ');
    const CurlRequest base = {.method = "POST", .target = "/stop"};
    auto with = [&](std::string body, std::optional<std::string> type = std::nullopt) {
        CurlRequest request = base;
        request.body = std::move(body);
        request.content_type = std::move(type);
        return request;
    };
    const Exchange cases[] = {
        {"exactly 4096 bytes", with(padded), 200, NOT_RUNNING},
        {"JSON with charset", with(stop, "application/json; charset=utf-8"), 200, NOT_RUNNING},
        {"JSON in capitals", with(stop, "Application/JSON"), 200, NOT_RUNNING},
        {"array form", with("[\"" + std::string(SESSION_ID) + "\"]"), 200, NOT_RUNNING},
        {"whitespace around", with(" \t\r\n" + stop + "\n"), 200, NOT_RUNNING},
        {"trailing garbage", with(stop + " x"), 400, BAD_BODY},
        {"two values", with(stop + stop), 400, BAD_BODY},
        {"query ignored",
         {.method = "POST", .target = "/stop?x=1", .body = stop},
         200,
         NOT_RUNNING},
    };
    for (const Exchange& c : cases) {
        SCOPED_TRACE(c.name);
        expect_answer(ask(c.request), c);
    }
}

TEST_P(Routes, StartBodyMustBeExactlyTheRecord) {
    const std::string id = "\"" + std::string(SESSION_ID) + "\"";
    const std::string address = "\"/tmp/not-a-core-address\"";
    const std::string object = "{\"address\":" + address + ",\"sessionId\":" + id + "}";
    const Exchange cases[] = {
        {"third key",
         {.body = "{\"address\":" + address + ",\"sessionId\":" + id + ",\"x\":\"\"}"},
         400,
         BAD_BODY},
        {"repeated key",
         {.body =
              "{\"address\":" + address + ",\"address\":" + address + ",\"sessionId\":" + id + "}"},
         400,
         BAD_BODY},
        {"missing key", {.body = "{\"address\":" + address + "}"}, 400, BAD_BODY},
        {"number", {.body = "{\"address\":1,\"sessionId\":" + id + "}"}, 400, BAD_BODY},
        {"key in another case",
         {.body = "{\"Address\":" + address + ",\"sessionId\":" + id + "}"},
         400,
         BAD_BODY},
        {"empty body", {.body = ""}, 400, BAD_BODY},
        {"array of one", {.body = "[" + address + "]"}, 400, BAD_BODY},
        // Parsed and handed to the start: its first check names the address.
        {"object", {.body = object}, 400, BAD_ADDRESS},
        {"4096 bytes",
         {.body = object + std::string(4096 - object.size(), '\n')},
         400,
         BAD_ADDRESS},
        {"keys in any order",
         {.body = "{\"sessionId\":" + id + ",\"address\":" + address + "}"},
         400,
         BAD_ADDRESS},
        {"array form", {.body = "[" + address + "," + id + "]"}, 400, BAD_ADDRESS},
    };
    for (Exchange c : cases) {
        SCOPED_TRACE(c.name);
        c.request.method = "POST";
        c.request.target = "/start";
        const HttpAnswer answer = ask(c.request);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.body, c.body);
    }
}

ZEMBRA_OVER_BOTH_PROTOCOLS(Routes);

}  // namespace
}  // namespace zembra::test
