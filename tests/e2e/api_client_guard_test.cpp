// The client guard seen from real clients: which "host" and "origin" values each identity
// admits, and that HTTP/2's own authority is never taken for a host.
#include <span>
#include <string>

#include "e2e/api_fixture.hpp"

namespace zembra::test {
namespace {

const std::string FORBIDDEN =
    error_json("invalidRequest", "browser origins and non-local hosts are not allowed");

struct HostCase {
    const char* host_header;  // a curl -H argument
    int status;               // 200 admitted (GET /logs), 403 refused, 400 invalid header
};

void expect_host_cases(const std::string& socket, std::span<const HostCase> cases) {
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.host_header);
        const HttpAnswer answer = curl_exchange(
            Protocol::Http1, {.target = "/logs", .headers = {c.host_header}, .socket = socket});
        EXPECT_EQ(answer.status, c.status);
        if (c.status == 403) {
            EXPECT_EQ(answer.body, FORBIDDEN);
        }
    }
}

// curl sends a Host field over HTTP/1.1 only (over HTTP/2 it becomes ":authority").
TEST(ClientGuard, RegularIdentityAdmitsLocalHostNamesOnly) {
    HelperService helper;
    const HostCase cases[] = {
        {"Host: localhost", 200},
        {"Host: LocalHost:8080", 200},
        {"Host: localhost:3000", 200},
        {"Host: 127.0.0.1", 200},
        {"Host: 127.0.0.1:0", 200},
        {"Host: zembrahelperservice", 200},
        {"Host: ZEMBRAHELPERSERVICE", 200},
        {"Host: user@localhost", 200},
        {"Host: [::1]", 403},
        {"Host: [::1]:80", 403},
        {"Host: localhost.", 403},
        {"Host: 127.0.0.2", 403},
        {"Host: example.com", 403},
        {"Host: localhost:1:2", 403},
        {"Host: localhost/ping", 403},
        {"Host: zembraprehelperservice", 403},
        {"Host;", 403},
        {"Host: local\x80host", 400},
    };
    expect_host_cases(helper.socket_path(), cases);
    expect_clean_exit(helper);
}

TEST(ClientGuard, PreReleaseIdentityAdmitsItsOwnName) {
    ServiceOptions options;
    options.executable_name = "ZembraPreHelperService";
    HelperService helper(options);
    ASSERT_EQ(helper.socket_path(), "/run/zembra-pre/helper.sock");
    const HostCase cases[] = {
        {"Host: localhost", 200},
        {"Host: zembraprehelperservice", 200},
        {"Host: ZembraPreHelperService:1", 200},
        {"Host: ZEMBRAHELPERSERVICE", 403},
    };
    expect_host_cases(helper.socket_path(), cases);
    expect_clean_exit(helper);
}

TEST(ClientGuard, Http2AuthorityIsNotAHost) {
    HelperService helper;
    const HttpAnswer answer =
        curl_exchange(Protocol::Http2, {.target = "/logs", .headers = {"Host: evil.example"}});
    EXPECT_EQ(answer.status, 200);
    expect_clean_exit(helper);
}

TEST(ClientGuard, ForbiddenHostOnUnknownPathIsForbiddenNotMissing) {
    HelperService helper;
    const HttpAnswer answer =
        curl_exchange(Protocol::Http1, {.target = "/nothing", .headers = {"Host: example.com"}});
    EXPECT_EQ(answer.status, 403);
    EXPECT_EQ(answer.body, FORBIDDEN);
    expect_clean_exit(helper);
}

using Origins = ApiTest;

// A refused client is refused on every path, before routing.
TEST_P(Origins, AnyOriginIsRefusedOnEveryPath) {
    const char* const origins[] = {"Origin: null", "Origin;", "Origin: http://localhost"};
    const char* const targets[] = {"/logs", "/ping", "/start", "/nothing"};
    for (const char* origin : origins) {
        for (const char* target : targets) {
            SCOPED_TRACE(std::string(origin) + " " + target);
            const HttpAnswer answer = ask({.target = target, .headers = {origin}});
            EXPECT_EQ(answer.status, 403);
            EXPECT_EQ(answer.body, FORBIDDEN);
        }
    }
    EXPECT_EQ(ask({.target = "/logs"}).status, 200);
}

ZEMBRA_OVER_BOTH_PROTOCOLS(Origins);

}  // namespace
}  // namespace zembra::test
