// The HTTP server over real sockets: curl for both protocols, our HTTP/2 client where one
// connection must carry several streams, and raw bytes where the wire itself is the point.
#include <malloc.h>
#include <nghttp2/nghttp2.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/h2_client.hpp"
#include "support/http_fixture.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;
using HttpServer = HttpServerFixture;

TEST_F(HttpServer, Http1KeepAliveAnswersRequestsInOrder) {
    ProcessResult result =
        curl({"http://localhost/hello?1", "http://localhost/hello?2", "http://localhost/hello?3"});
    ASSERT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(result.out, "/hello?1/hello?2/hello?3");
    EXPECT_EQ(server_.connections(), 1);
}

TEST_F(HttpServer, ShortHttp1RequestIsAnsweredWithoutWaitingForMoreBytes) {
    RawConnection client(server_.path());
    client.send("GET /hello HTTP/1.0\r\n\r\n");  // shorter than the HTTP/2 preface
    ASSERT_TRUE(client.read_to_eof(2s));
    EXPECT_TRUE(client.received().starts_with("HTTP/1.1 200 OK\r\n")) << client.received();
    EXPECT_TRUE(client.received().ends_with("\r\n\r\n/hello")) << client.received();
}

TEST_F(HttpServer, PipelinedHttp1RequestsKeepTheirFraming) {
    RawConnection client(server_.path());
    client.send(
        "HEAD /hello?1 HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody"
        "GET /hello?3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(client.read_to_eof(2s));
    EXPECT_EQ(client.received(),
              "HTTP/1.1 200 OK\r\ncontent-length: 8\r\n\r\n"
              "HTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\nbody"
              "HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 8\r\n\r\n/hello?3");
}

TEST_F(HttpServer, SmallBodyOfARefusedRequestIsReadPastAndTheConnectionGoesOn) {
    RawConnection client(server_.path());
    client.send(
        "POST /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody"
        "POST /nowhere HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
        "4\r\nbody\r\n0\r\n\r\n"
        "GET /hello?3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(client.read_to_eof(2s));
    const std::string refused = "HTTP/1.1 404 Not Found\r\ncontent-length: 9\r\n\r\nnot found";
    EXPECT_EQ(client.received(),
              refused + refused +
                  "HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 8\r\n\r\n/hello?3");
}

TEST_F(HttpServer, PrefaceSplitAcrossReadsIsHttp2) {
    RawConnection client(server_.path());
    client.send("PRI * HTTP/2.0\r\n");
    std::this_thread::sleep_for(50ms);
    client.send("\r\nSM");
    std::this_thread::sleep_for(50ms);
    client.send(std::string_view("\r\n\r\n\0\0\0\4\0\0\0\0\0", 13));  // and empty SETTINGS
    const std::string& received = client.read_until(std::string_view("\4\0\0\0\0\0", 6), 2s);
    ASSERT_GE(received.size(), 9u);
    EXPECT_EQ(received[3], '\4') << "the server's first frame is SETTINGS";
}

TEST_F(HttpServer, CurlIsServedOverBothProtocols) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* out;
    };
    const Case cases[] = {
        {"HTTP/2 GET", {"--http2-prior-knowledge", "http://localhost/hello?x"}, "/hello?x"},
        {"HTTP/1.1 body", {"--data-binary", "{\"a\":1}", "http://localhost/echo"}, "{\"a\":1}"},
        {"HTTP/1.1 chunked body",
         {"-H", "Transfer-Encoding: chunked", "--data-binary", "in chunks",
          "http://localhost/echo"},
         "in chunks"},
        {"HTTP/2 body",
         {"--http2-prior-knowledge", "--data-binary", "over h2", "http://localhost/echo"},
         "over h2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessResult result = curl(c.arguments);
        ASSERT_TRUE(result.exited_with(0)) << result.err;
        EXPECT_EQ(result.out, c.out);
    }
}

TEST_F(HttpServer, BodyOverTheLimitIsNeverRead) {
    const std::string body(5000, 'x');  // /echo reads at most 4096 bytes
    RawConnection h1(server_.path());
    h1.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n" + body);
    EXPECT_TRUE(h1.read_to_eof(2s));
    EXPECT_EQ(h1.received(), "");

    H2Client h2(server_.path());
    std::int32_t stream = h2.submit({.method = "POST", .path = "/echo", .body = body});
    ASSERT_TRUE(h2.finish(stream));
    EXPECT_EQ(h2.response(stream).status, 0);
    EXPECT_TRUE(h2.response(stream).reset);
}

TEST_F(HttpServer, HeadIsDecidedBeforeTheBodyArrives) {
    {
        RawConnection client(server_.path());
        client.send("POST /refuse HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n");
        client.read_until("refused", 2s);
        EXPECT_TRUE(client.received().starts_with("HTTP/1.1 413 ")) << "answered on its head";
        EXPECT_NE(client.received().find("connection: close\r\n"), std::string::npos);
        // The body the server never read must not turn the close into a reset.
        client.send(std::string(256 * 1024, 'x'));
        client.shutdown_send();
        ASSERT_TRUE(client.read_to_eof(2s));
        EXPECT_FALSE(client.reset());
        EXPECT_TRUE(client.received().ends_with("refused"));
    }
    H2Client client(server_.path());
    std::int32_t refused = client.submit({.method = "POST",
                                          .path = "/refuse",
                                          .headers = {{"content-length", "1000000"}},
                                          .body = "the start of it",
                                          .end_stream = false});
    ASSERT_TRUE(client.finish(refused));
    EXPECT_EQ(client.response(refused).status, 413);
    EXPECT_EQ(client.response(refused).body, "refused");
    EXPECT_EQ(client.response(refused).header("connection"), nullptr);
    EXPECT_EQ(client.response(refused).reset, NGHTTP2_NO_ERROR)
        << "the client is told to stop sending";

    ASSERT_EQ(heads().size(), 2u);
    for (const http::RequestHead& head : heads()) {
        EXPECT_EQ(head.method, "POST");
        EXPECT_EQ(head.content_length, 1000000u);
    }
}

TEST_F(HttpServer, RefusedUploadIsAnsweredWhileTheClientSends) {
    H2Client client(server_.path());
    // The rest fits the client's flow-control window: it may arrive, no reset needed.
    std::int32_t refused = client.submit({.method = "POST",
                                          .path = "/refuse",
                                          .headers = {{"content-length", "5000"}},
                                          .body = std::string(1000, 'x'),
                                          .end_stream = false});
    ASSERT_TRUE(client.run_until([&] { return client.response(refused).body == "refused"; }));
    client.run_until([] { return false; }, 50ms);
    EXPECT_FALSE(client.response(refused).reset);
    client.send_more(refused, std::string(4000, 'x'), true);
    ASSERT_TRUE(client.finish(refused));
    EXPECT_FALSE(client.response(refused).reset);
    EXPECT_EQ(client.response(refused).status, 413);
}

TEST_F(HttpServer, CurlReadsTheRefusalOfItsUpload) {
    struct Case {
        const char* name;
        std::vector<std::string> protocol;
        std::size_t size;
    };
    const Case cases[] = {
        {"HTTP/1.1, unread body beyond the socket buffers", {"-H", "Expect:"}, 2 << 20},
        // curl 7.88 drops the answer when RST_STREAM(NO_ERROR) follows it.
        {"HTTP/2, body within the window", {"--http2-prior-knowledge"}, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {"curl", "-sS", "--unix-socket", server_.path()};
        argv.insert(argv.end(), c.protocol.begin(), c.protocol.end());
        argv.insert(argv.end(),
                    {"--data-binary", "@-", "-w", " %{http_code}", "http://localhost/refuse"});
        ProcessOptions upload;
        upload.stdin_data = std::string(c.size, 'x');
        for (int attempt = 0; attempt < 10; ++attempt) {  // the race is the client's to lose
            ProcessResult result = run_process(argv, upload);
            ASSERT_TRUE(result.exited_with(0)) << result.err;
            EXPECT_EQ(result.out, "refused 413");
        }
    }
}

TEST_F(HttpServer, ConnectionCloseEndsHttp1ButNotHttp2) {
    {
        RawConnection client(server_.path());
        client.send(
            "GET /close HTTP/1.1\r\nHost: x\r\n\r\n"
            "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_TRUE(client.read_to_eof(2s));
        EXPECT_FALSE(client.reset());
        EXPECT_TRUE(client.received().ends_with("\r\n\r\nbye")) << "only the first is answered";
    }
    H2Client client(server_.path());
    std::int32_t closing = client.submit({.path = "/close"});
    ASSERT_TRUE(client.finish(closing));
    EXPECT_EQ(client.response(closing).body, "bye");
    EXPECT_EQ(client.response(closing).header("connection"), nullptr);
    std::int32_t later = client.submit({.path = "/hello"});
    ASSERT_TRUE(client.finish(later));
    EXPECT_EQ(client.response(later).status, 200);
    EXPECT_FALSE(client.connection_closed());
}

TEST_F(HttpServer, SlowStreamDoesNotDelayAnother) {
    H2Client client(server_.path());
    std::int32_t slow = client.submit({.path = "/park"});
    std::int32_t quick = client.submit({.path = "/hello"});
    ASSERT_TRUE(client.finish(quick));
    EXPECT_EQ(client.response(quick).body, "/hello");
    EXPECT_FALSE(client.response(slow).closed);

    ASSERT_TRUE(parked_.wait_for(1));
    std::thread([reply = parked_.take()]() mutable {
        reply({201, {{"X-Late", "yes"}}, "late"});
    }).join();
    ASSERT_TRUE(client.finish(slow));
    EXPECT_EQ(client.response(slow).status, 201);
    ASSERT_NE(client.response(slow).header("x-late"), nullptr);
    EXPECT_EQ(client.response(slow).body, "late");
}

TEST_F(HttpServer, LongHttp2ConnectionKeepsNoFinishedStreams) {
    H2Client client(server_.path());
    auto exchange_many = [&] {
        std::vector<std::int32_t> streams;
        for (int i = 0; i < 100; ++i)
            streams.push_back(client.submit({.path = "/hello"}));
        for (std::int32_t stream : streams) {
            ASSERT_TRUE(client.finish(stream));
            client.forget(stream);
        }
        std::lock_guard lock(mutex_);
        heads_.clear();
    };
    exchange_many();
    std::size_t before = mallinfo2().uordblks;
    for (int round = 0; round < 30; ++round)
        exchange_many();
    std::size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 256 * 1024) << "heap grew by " << (after - before) << " bytes";
}

TEST_F(HttpServer, ReplyAfterTheClientLeftIsHarmless) {
    {
        RawConnection h1(server_.path());
        h1.send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
        H2Client h2(server_.path());
        h2.submit({.path = "/park"});
        h2.run_until([] { return false; }, 100ms);
        ASSERT_TRUE(parked_.wait_for(2));
    }
    std::this_thread::sleep_for(50ms);  // let the server notice both clients left
    parked_.take()({200, {}, "too late"});
    parked_.take()({200, {}, "too late"});

    ProcessResult result = curl({"http://localhost/hello"});
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(result.out, "/hello");
}

TEST_F(HttpServer, DroppedReplyEndsTheRequest) {
    RawConnection h1(server_.path());
    h1.send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(parked_.wait_for(1));
    parked_.drop_all();
    ASSERT_TRUE(h1.read_to_eof(2s));
    EXPECT_EQ(h1.received(), "");

    H2Client h2(server_.path());
    std::int32_t dropped = h2.submit({.path = "/park"});
    h2.run_until([&] { return parked_.wait_for(1, 0ms); }, 2s);
    parked_.drop_all();
    ASSERT_TRUE(h2.finish(dropped));
    EXPECT_EQ(h2.response(dropped).reset, NGHTTP2_INTERNAL_ERROR);
    std::int32_t later = h2.submit({.path = "/hello"});
    ASSERT_TRUE(h2.finish(later));
    EXPECT_EQ(h2.response(later).status, 200);
}

}  // namespace
}  // namespace zembra::test
