// What happens to the connection around a request: HTTP/1.1 keep-alive, the end of the
// connection after a 403 or 413, a refused head whose body is never read, and the absolute-form
// target that only HTTP/1.1 has.
#include <chrono>
#include <string>
#include <vector>

#include "e2e/api_fixture.hpp"
#include "support/unix_client.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

// One curl transfer over HTTP/1.1 that prints "<new connections> <status>".
std::vector<std::string> transfer(std::vector<std::string> options, const std::string& target) {
    options.insert(options.end(), {"--unix-socket", HELPER_SOCKET, "--http1.1", "-H",
                                   "Expect:", "--output", "/dev/null", "--write-out",
                                   "%{num_connects} %{http_code}\\n", "http://localhost" + target});
    return options;
}

// Serial transfers in one curl run, which reuses a connection that is still open.
std::string run_transfers(const std::vector<std::vector<std::string>>& transfers) {
    std::vector<std::string> arguments;
    for (const auto& t : transfers) {
        if (!arguments.empty()) arguments.push_back("--next");
        arguments.insert(arguments.end(), t.begin(), t.end());
    }
    const ProcessResult result = run_curl(Protocol::Http1, arguments);
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    return result.out;
}

TEST(Http1Connection, ServesSeveralRequestsOnOneConnection) {
    HelperService helper;
    EXPECT_EQ(run_transfers({transfer({}, "/logs"), transfer({}, ping_target()),
                             transfer({}, "/nothing"), transfer({}, "/logs")}),
              "1 200\n0 200\n0 404\n0 200\n");
    expect_clean_exit(helper);
}

TEST(Http1Connection, AbsoluteFormTargetIsRoutedOnItsPathAndQuery) {
    HelperService helper;
    const auto absolute = [](const std::string& target) {
        return transfer({"--request-target", target}, "/");
    };
    EXPECT_EQ(run_transfers({absolute("http://localhost/logs"),
                             absolute("http://example.com:1" + ping_target()),
                             absolute("http://localhost/ping"), absolute("http://localhost"),
                             absolute("http://localhost/start")}),
              "1 200\n0 200\n0 400\n0 404\n0 405\n");
    expect_clean_exit(helper);
}

TEST(Http1Connection, ForbiddenAndTooLargeEndTheConnection) {
    HelperService helper;
    const std::string too_large(4097, ' ');
    struct Case {
        const char* name;
        std::vector<std::string> options;
        const char* target;
        const char* expected;
    };
    const Case cases[] = {
        {"403", {"-H", "Origin: null"}, "/logs", "1 403\n1 200\n"},
        {"413", {"-H", "Content-Type:", "--data-binary", too_large}, "/stop", "1 413\n1 200\n"},
        {"400 keeps it", {}, "/ping", "1 400\n0 200\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_transfers({transfer(c.options, c.target), transfer({}, "/logs")}),
                  c.expected);
    }
    expect_clean_exit(helper);
}

TEST(Http1Connection, TooLargeIsAnsweredWithoutWaitingForTheBody) {
    HelperService helper;
    UnixClient client(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    client.send("POST /start HTTP/1.1\r\nHost: localhost\r\nContent-Length: 4097\r\n\r\n{");
    const UnixClient::Received received = client.receive_until_closed(5s);
    EXPECT_TRUE(received.closed);
    const HttpAnswer answer = parse_http_answer(received.bytes);
    EXPECT_EQ(answer.status, 413);
    EXPECT_EQ(answer.field("connection"), "close");
    EXPECT_EQ(answer.body, error_json("invalidRequest", "request body exceeds 4096 bytes"));
    expect_clean_exit(helper);
}

}  // namespace
}  // namespace zembra::test
