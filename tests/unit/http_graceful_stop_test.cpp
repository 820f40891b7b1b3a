// The graceful stop: idle connections close at once, requests in flight are finished, HTTP/2
// says GOAWAY, and on_closed fires once the last connection has gone.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/descriptors.hpp"
#include "support/h2_client.hpp"
#include "support/http_fixture.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

class GracefulStop : public HttpServerFixture {
  protected:
    void stop() {
        server_.server().graceful_stop([this] {
            EXPECT_FALSE(closed_.is_set()) << "on_closed fires once";
            closed_.set();
        });
    }

    Flag closed_;
};

TEST_F(GracefulStop, WithoutConnectionsEndsAtOnceAndRefusesNewOnes) {
    stop();
    EXPECT_TRUE(closed_.wait(1s));
    RawConnection late(server_.path());
    EXPECT_TRUE(late.read_to_eof(1s));
    EXPECT_EQ(late.received(), "");
}

TEST_F(GracefulStop, IdleConnectionsCloseAtOnce) {
    RawConnection used(server_.path());
    used.send("GET /hello HTTP/1.1\r\nHost: x\r\n\r\n");
    used.read_until("/hello");
    RawConnection silent(server_.path());
    H2Client h2(server_.path());
    ASSERT_TRUE(h2.finish(h2.submit({.path = "/hello"})));
    std::this_thread::sleep_for(20ms);  // let the server take `silent` in

    stop();
    EXPECT_TRUE(used.read_to_eof(1s));
    EXPECT_TRUE(silent.read_to_eof(1s));
    EXPECT_TRUE(h2.run_until([&] { return h2.connection_closed(); }, 1s));
    EXPECT_TRUE(h2.goaway_last_stream_id());
    EXPECT_TRUE(closed_.wait(1s));
}

TEST_F(GracefulStop, Http1RequestInFlightIsFinishedThenClosed) {
    RawConnection client(server_.path());
    client.send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(parked_.wait_for(1));

    stop();
    EXPECT_FALSE(client.read_to_eof(100ms)) << "the connection waits for its answer";
    EXPECT_FALSE(closed_.is_set());

    parked_.take()({200, {}, "finished"});
    ASSERT_TRUE(client.read_to_eof(2s));
    EXPECT_FALSE(client.reset());
    EXPECT_TRUE(client.received().starts_with("HTTP/1.1 200 OK\r\n")) << client.received();
    EXPECT_NE(client.received().find("connection: close\r\n"), std::string::npos);
    EXPECT_TRUE(client.received().ends_with("finished"));
    client.close();  // the server drains until the client has gone
    EXPECT_TRUE(closed_.wait(1s));
}

TEST_F(GracefulStop, Http2SaysGoawayAndFinishesAcceptedStreams) {
    H2Client client(server_.path());
    std::int32_t answered = client.submit({.path = "/hello"});
    std::int32_t in_flight = client.submit({.path = "/park"});
    ASSERT_TRUE(client.finish(answered));
    ASSERT_TRUE(parked_.wait_for(1));

    stop();
    ASSERT_TRUE(client.run_until([&] { return client.goaway_last_stream_id() == in_flight; }));
    EXPECT_FALSE(closed_.is_set());

    parked_.take()({200, {}, "finished"});
    ASSERT_TRUE(client.finish(in_flight));
    EXPECT_EQ(client.response(in_flight).body, "finished");
    EXPECT_TRUE(client.run_until([&] { return client.connection_closed(); }));
    EXPECT_TRUE(closed_.wait(2s));
}

TEST_F(GracefulStop, LeavesNoDescriptorOpen) {
    const std::size_t before = open_descriptors().size();
    ASSERT_TRUE(curl({"http://localhost/hello"}).exited_with(0));
    ASSERT_TRUE(curl({"--http2-prior-knowledge", "http://localhost/hello"}).exited_with(0));
    ASSERT_TRUE(curl({"--data-binary", "x", "http://localhost/refuse"}).exited_with(0));
    {
        H2Client client(server_.path());
        std::int32_t stream = client.submit({.path = "/hello"});
        ASSERT_TRUE(client.finish(stream));
        RawConnection idle(server_.path());
        RawConnection parked(server_.path());
        parked.send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_TRUE(parked_.wait_for(1));
        parked_.take()({200, {}, ""});
        parked.read_until("\r\n\r\n");
    }
    stop();
    ASSERT_TRUE(closed_.wait(3s));
    EXPECT_EQ(open_descriptors().size(), before);
}

TEST(GracefulStopTeardown, OnClosedNeverRunsAfterTheServerIsGone) {
    auto called = std::make_shared<std::atomic<bool>>(false);
    auto server = std::make_unique<HttpTestServer>([](const http::RequestHead&) {
        return http::decision::Respond{{200, {}, ""}};
    });
    RawConnection unfinished(server->path());
    unfinished.send("GET / HTTP/1.1\r\n");  // a head in flight keeps the connection
    ASSERT_TRUE(unfinished.wait_until_taken());
    std::this_thread::sleep_for(20ms);  // for the server's read to be handled
    server->server().graceful_stop([called] { *called = true; });
    EXPECT_FALSE(unfinished.read_to_eof(50ms));

    server.reset();  // the connection is still open when the server goes
    EXPECT_FALSE(*called);
}

}  // namespace
}  // namespace zembra::test
