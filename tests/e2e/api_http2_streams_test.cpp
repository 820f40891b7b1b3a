// HTTP/2 connections as our own nghttp2 client sees them: a refusal ends its stream, never the
// connection, also when it is answered before the body; the "host" field (which curl never
// sends over HTTP/2) is guarded like HTTP/1.1's; a slow stop on one stream does not hold up a
// ping on another.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
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
    void TearDown() override {
        client_.reset();
        expect_clean_exit(helper_);
    }

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
        {"localhost", 200}, {"example.com", 403},  {"ZEMBRAHELPERSERVICE", 200},
        {"[::1]", 403},     {"127.0.0.1:80", 200}, {"localhost.", 403},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.host);
        const H2Response& answer = exchange({.path = "/logs", .headers = {{"host", c.host}}});
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.header("connection"), nullptr);
    }
    // nghttp2 checks a "host" value's bytes itself and resets such a stream before the guard
    // sees it; the connection goes on.
    const H2Response& unreadable =
        exchange({.path = "/logs", .headers = {{"host", "local\x80host"}}});
    EXPECT_EQ(unreadable.status, 0);
    EXPECT_TRUE(unreadable.reset);
    EXPECT_EQ(exchange({.path = "/logs"}).status, 200);

    EXPECT_FALSE(client_->connection_closed());
    EXPECT_FALSE(client_->goaway_last_stream_id());
}

// Refusals decided on the head are answered while the body is still owed. The stream then
// ends: by the rest of the body when it fits the flow-control window the client holds, else by
// RST_STREAM(NO_ERROR).
TEST_F(Http2Streams, RefusalsBeforeTheBodyEndTheirStreamOnly) {
    struct EarlyRefusal {
        const char* name;
        H2Request request;
        std::string rest;  // sent after the answer, ending the body
        std::optional<std::uint32_t> reset;
        int status;
        std::string message;
    };
    auto started = [](std::optional<std::string> length) {
        H2Request request = post("/stop", "{");
        request.headers.clear();
        if (length) request.headers.emplace_back("content-length", *length);
        request.end_stream = false;
        return request;
    };
    H2Request plain_text = post("/stop", stop_json(SESSION_ID));
    plain_text.headers.emplace_back("content-type", "text/plain");
    const std::uint32_t no_error = 0;
    const EarlyRefusal cases[] = {
        {"no content-length", started(std::nullopt), "", no_error, 411,
         "request body length is required"},
        {"4097 bytes", started("4097"), std::string(4096, ' '), std::nullopt, 413,
         "request body exceeds 4096 bytes"},
        {"beyond the window", started("1000000"), "", no_error, 413,
         "request body exceeds 4096 bytes"},
        {"text/plain", plain_text, "", std::nullopt, 500, "unhandled Helper request rejection"},
    };
    for (const EarlyRefusal& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int32_t stream = client_->submit(c.request);
        const H2Response& answer = client_->response(stream);
        const std::string body =
            error_json(c.status == 500 ? "internalError" : "invalidRequest", c.message);
        ASSERT_TRUE(client_->run_until([&] { return answer.body.size() >= body.size(); }));
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.body, body);
        ASSERT_NE(answer.header("content-type"), nullptr);
        EXPECT_EQ(*answer.header("content-type"), "application/json");
        EXPECT_EQ(answer.header("connection"), nullptr);
        EXPECT_EQ(answer.header(std::string(PROTOCOL_HEADER)), nullptr);

        if (!c.rest.empty()) client_->send_more(stream, c.rest, true);
        EXPECT_TRUE(client_->finish(stream));
        EXPECT_EQ(answer.reset, c.reset);
    }
    EXPECT_EQ(exchange(post("/stop", stop_json(SESSION_ID))).status, 200);
    EXPECT_FALSE(client_->connection_closed());
}

TEST_F(Http2Streams, PingIsAnsweredWhileAStubbornCoreIsStopped) {
    const CoreAddress address(3);
    address.set_core_commands("ignore-term\nprint deaf to SIGTERM\\n\n");
    ASSERT_EQ(exchange(post("/start", start_json(address.path(), SESSION_ID))).status, 200);
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
