// HTTP/2 connections as our own nghttp2 client sees them: a refusal ends its stream, never the
// connection; the "host" field (which curl never sends over HTTP/2) is guarded like HTTP/1.1's;
// and a slow stop on one stream does not hold up a ping on another.
#include <chrono>
#include <memory>
#include <string>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
#include "support/effective_ids.hpp"
#include "support/h2_client.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<H2Client> owner_connection(const std::string& socket) {
    const EffectiveIds owner(TEST_OWNER_UID, TEST_OWNER_GID);
    return std::make_unique<H2Client>(socket);
}

H2Request post(const std::string& path, const std::string& body) {
    return {.method = "POST",
            .path = path,
            .headers = {{"content-length", std::to_string(body.size())}},
            .body = body};
}

class Http2Streams : public testing::Test {
  protected:
    HelperService helper_;
    std::unique_ptr<H2Client> client_ = owner_connection(helper_.socket_path());

    const H2Response& exchange(const H2Request& request) {
        const std::int32_t stream = client_->submit(request);
        EXPECT_TRUE(client_->finish(stream)) << request.path;
        return client_->response(stream);
    }
};

TEST_F(Http2Streams, HostFieldIsGuardedAndRefusalsKeepTheConnection) {
    struct HostCase {
        const char* host;
        int status;
    };
    const HostCase cases[] = {
        {"localhost", 200},    {"example.com", 403}, {"ZEMBRAHELPERSERVICE", 200}, {"[::1]", 403},
        {"127.0.0.1:80", 200}, {"localhost.", 403},  {"local\x80host", 400},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.host);
        const H2Response& answer = exchange({.path = "/logs", .headers = {{"host", c.host}}});
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.header("connection"), nullptr);
    }
    EXPECT_FALSE(client_->connection_closed());
    EXPECT_FALSE(client_->goaway_last_stream_id());
}

TEST_F(Http2Streams, TooLargeIsAnsweredBeforeItsBodyAndTheConnectionGoesOn) {
    H2Request unfinished = post("/stop", "{");
    unfinished.headers = {{"content-length", "4097"}};
    unfinished.end_stream = false;
    const H2Response& too_large = exchange(unfinished);
    EXPECT_EQ(too_large.status, 413);
    EXPECT_EQ(too_large.body, error_json("invalidRequest", "request body exceeds 4096 bytes"));
    EXPECT_EQ(too_large.header("connection"), nullptr);

    const H2Response& forbidden =
        exchange({.path = "/logs", .headers = {{"origin", "https://example.com"}}});
    EXPECT_EQ(forbidden.status, 403);
    EXPECT_EQ(forbidden.header("connection"), nullptr);

    const H2Response& later = exchange(post("/stop", stop_json(SESSION_ID)));
    EXPECT_EQ(later.status, 200);
    EXPECT_FALSE(client_->connection_closed());
}

TEST_F(Http2Streams, PingIsAnsweredWhileAStubbornCoreIsStopped) {
    const CoreAddress address(3);
    address.set_core_commands("ignore-term\nprint deaf to SIGTERM\\n\n");
    const std::string start = "{\"address\":\"" + address.path() + "\",\"sessionId\":\"" +
                              std::string(SESSION_ID) + "\"}";
    ASSERT_EQ(exchange(post("/start", start)).status, 200);
    // The Core ignores SIGTERM once its line is out.
    const Clock::time_point deadline = Clock::now() + 5s;
    while (exchange({.path = "/logs"}).body.find("deaf") == std::string::npos &&
           Clock::now() < deadline) {
        client_->run_until([] { return false; }, 20ms);
    }

    const std::int32_t stop = client_->submit(post("/stop", stop_json(SESSION_ID)));
    client_->run_until([] { return false; }, 300ms);
    const Clock::time_point ping_sent = Clock::now();
    const std::int32_t ping = client_->submit({.path = ping_target()});
    ASSERT_TRUE(client_->finish(ping));
    EXPECT_LT(Clock::now() - ping_sent, 1s);
    EXPECT_EQ(client_->response(ping).status, 200);
    EXPECT_FALSE(client_->response(stop).closed) << "the stop ended before SIGKILL";

    ASSERT_TRUE(client_->finish(stop, 10s));
    EXPECT_EQ(client_->response(stop).status, 200);
    EXPECT_EQ(client_->response(stop).body,
              "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"stopped\":true}");
}

}  // namespace
}  // namespace zembra::test
