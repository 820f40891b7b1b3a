// The server's bounds under clients that break the rules: streams and heads beyond the limits,
// answers never read, bodies read past without end, heads that never finish.
#include <malloc.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/limits.hpp"
#include "support/eventually.hpp"
#include "support/h2_client.hpp"
#include "support/h2_frames.hpp"
#include "support/http_fixture.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds REQUEST_TIMEOUT{300};
// What one misbehaving connection may cost the server's heap.
constexpr std::size_t HEAP_BOUND = 8 << 20;

class HttpBounds : public HttpServerFixture {
  protected:
    HttpBounds() : HttpServerFixture({.request_timeout = REQUEST_TIMEOUT}) {}

    // A fresh client is answered at once, whatever the others do.
    void expect_fresh_client_served() {
        const auto started = Clock::now();
        RawConnection fresh(server_.path());
        fresh.send("GET /hello?fresh HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_TRUE(fresh.read_until("/hello?fresh", 1s).ends_with("/hello?fresh"));
        EXPECT_LT(Clock::now() - started, 1s);
    }
};

std::size_t heap_in_use() {
    const struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

std::vector<std::pair<std::string, std::string>> numbered_fields(int count) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (int i = 0; i < count; ++i)
        fields.emplace_back("x-field-" + std::to_string(i), "v");
    return fields;
}

std::string h2_get(std::uint32_t stream, std::string_view path) {
    return h2::frame(h2::HEADERS, h2::END_HEADERS | h2::END_STREAM, stream,
                     h2::request_fields(path));
}

// Reads until the frames received so far satisfy `done`, or `timeout` passes.
template <class Done>
std::vector<h2::Frame> read_frames_until(RawConnection& connection, Done done,
                                         std::chrono::milliseconds timeout = 3s) {
    std::vector<h2::Frame> frames;
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline && !connection.closed();) {
        connection.read_until("\n\n\n never \n\n\n", 50ms);
        frames = h2::parse_frames(connection.received());
        if (done(frames)) break;
    }
    return frames;
}

TEST_F(HttpBounds, Http2StreamsBeyondTheLimitAreRefused) {
    RawConnection client(server_.path());
    // A client that ignores the limit it is told.
    std::string requests = std::string(h2::PREFACE) + h2::settings();
    for (std::uint32_t i = 0; i < 150; ++i)
        requests += h2_get(2 * i + 1, "/park");
    client.send(requests);
    auto refused = [](const std::vector<h2::Frame>& frames) {
        std::size_t count = 0;
        for (std::uint32_t i = 0; i < 150; ++i)
            count += h2::reset_code(frames, 2 * i + 1) == NGHTTP2_REFUSED_STREAM;
        return count;
    };
    std::vector<h2::Frame> frames =
        read_frames_until(client, [&](const auto& f) { return refused(f) >= 50; });
    EXPECT_EQ(h2::setting(frames, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS),
              http::MAX_CONCURRENT_STREAMS);
    EXPECT_EQ(refused(frames), 50u);
    EXPECT_EQ(h2::reset_code(frames, 299), NGHTTP2_REFUSED_STREAM) << "the last ones";
    ASSERT_TRUE(parked_.wait_for(100));
    EXPECT_FALSE(parked_.wait_for(101, 200ms)) << "a refused stream never reaches the handler";

    parked_.take()({200, {}, "done"});
    frames = read_frames_until(client, [](const auto& f) { return h2::response_status(f, 1); });
    client.send(h2_get(301, "/hello"));
    frames = read_frames_until(client, [](const auto& f) { return h2::response_status(f, 301); });
    EXPECT_EQ(h2::response_status(frames, 301), 200) << "an answered stream makes room";
}

TEST_F(HttpBounds, HeadLimitsAreTheSameOnBothProtocols) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> fields;
        bool served;
    };
    const Case cases[] = {
        {"as many fields as allowed", numbered_fields(http::MAX_HEAD_FIELDS), true},
        {"one field more", numbered_fields(http::MAX_HEAD_FIELDS + 1), false},
        {"7 KiB of head", {{"x-long", std::string(7 * 1024, 'a')}}, true},
        {"9 KiB of head", {{"x-long", std::string(9 * 1024, 'a')}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string h1_head = "GET /hello HTTP/1.1\r\n";
        for (const auto& [name, value] : c.fields)
            h1_head += name + ": " + value + "\r\n";
        RawConnection h1(server_.path());
        h1.send(h1_head + "\r\n");
        if (c.served) {
            EXPECT_TRUE(h1.read_until("/hello", 2s).starts_with("HTTP/1.1 200 OK\r\n"));
        } else {
            EXPECT_TRUE(h1.read_to_eof(2s));
            EXPECT_EQ(h1.received(), "") << "closed unanswered, as for any head Beast refuses";
        }

        H2Client h2(server_.path());
        std::int32_t stream = h2.submit({.path = "/hello", .headers = c.fields});
        ASSERT_TRUE(h2.finish(stream));
        EXPECT_EQ(h2.response(stream).status, c.served ? 200 : 431);
        std::int32_t next = h2.submit({.path = "/hello"});
        ASSERT_TRUE(h2.finish(next));
        EXPECT_EQ(h2.response(next).status, 200) << "a refused head costs only its stream";
    }
}

TEST_F(HttpBounds, Http2HeaderListIsMeasuredAsDecoded) {
    // The fields H2Client always sends, as HTTP/2 counts them: :method GET, :scheme http,
    // :path /hello and :authority localhost, each with 32 bytes on top.
    constexpr std::size_t PSEUDO = (7 + 3 + 32) + (7 + 4 + 32) + (5 + 6 + 32) + (10 + 9 + 32);
    constexpr std::size_t ROOM = http::MAX_HEAD_BYTES - PSEUDO - (6 + 32);  // "x-long"
    struct Case {
        const char* name;
        std::size_t value_size;
        int status;
    };
    const Case cases[] = {{"exactly the limit", ROOM, 200}, {"one byte over", ROOM + 1, 431}};
    H2Client client(server_.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::int32_t stream = client.submit(
            {.path = "/hello", .headers = {{"x-long", std::string(c.value_size, 'a')}}});
        ASSERT_TRUE(client.finish(stream));
        EXPECT_EQ(client.response(stream).status, c.status);
    }

    // A few KiB on the wire that name one 4 KB table entry thousands of times.
    const std::size_t heap_before = heap_in_use();
    std::string fields = h2::request_fields("/park") +
                         h2::hpack::literal_indexed("x-a", std::string(4000, 'a')) +
                         std::string(4000, '\xbe');  // index 62: the entry just added
    RawConnection raw(server_.path());
    raw.send(std::string(h2::PREFACE) + h2::settings() +
             h2::frame(h2::HEADERS, h2::END_HEADERS | h2::END_STREAM, 1, fields));
    std::vector<h2::Frame> frames =
        read_frames_until(raw, [](const auto& f) { return h2::response_status(f, 1); });
    EXPECT_EQ(h2::response_status(frames, 1), 431);
    EXPECT_LT(heap_in_use(), heap_before + (1 << 20)) << "the decoded list was kept";
    EXPECT_FALSE(parked_.wait_for(1, 0ms));
}

TEST_F(HttpBounds, ExceptionInAnHttp2CallbackEndsOnlyItsConnection) {
    H2Client client(server_.path());
    client.submit({.path = "/throw"});  // decided inside nghttp2's frame callback
    EXPECT_FALSE(client.run_until([] { return false; }, 2s));
    EXPECT_TRUE(client.connection_closed());
    expect_fresh_client_served();
}

// Many requests whose answers the client does not take.
struct FloodCase {
    const char* name;
    std::string bytes;
    bool client_reads;  // reads and drops every byte the server sends
};

std::vector<FloodCase> flood_cases() {
    std::string h1;
    for (int i = 0; i < 100000; ++i)
        h1 += "GET /big HTTP/1.1\r\nHost: x\r\n\r\n";
    // Only the client's not reading holds the answers back.
    std::string h2_unread = h2::wide_open_start();
    // Every answer with a body waits for credit that never comes.
    std::string h2_closed_window =
        std::string(h2::PREFACE) + h2::settings({{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 0}});
    for (std::uint32_t i = 0; i < 200000; ++i) {
        h2_unread += h2_get(2 * i + 1, "/big");
        h2_closed_window += h2_get(2 * i + 1, "/hello");
    }
    return {{"HTTP/1.1, pipelined answers never read", std::move(h1), false},
            {"HTTP/2, answers never read", std::move(h2_unread), false},
            {"HTTP/2, answers read, window at zero", std::move(h2_closed_window), true}};
}

TEST_F(HttpBounds, AnswersNotTakenHoldTheConnectionWithinABound) {
    for (const FloodCase& c : flood_cases()) {
        SCOPED_TRACE(c.name);
        const std::size_t heap_before = heap_in_use();
        RawConnection client(server_.path());
        std::thread reader;
        if (c.client_reads) reader = std::thread([&client] { client.discard_for(3s); });
        client.send_until(c.bytes, std::chrono::steady_clock::now() + 2s);
        EXPECT_LT(heap_in_use(), heap_before + HEAP_BOUND)
            << "grew by " << (heap_in_use() - heap_before) << " bytes";
        expect_fresh_client_served();
        if (reader.joinable()) reader.join();
    }
}

TEST_F(HttpBounds, Http2ConnectionReadsAgainOnceThePeerReads) {
    RawConnection client(server_.path());
    std::string requests = h2::wide_open_start();
    for (std::uint32_t i = 0; i < 20; ++i)  // 5 MiB of answers
        requests += h2_get(2 * i + 1, "/big");
    client.send(requests);
    std::this_thread::sleep_for(300ms);
    client.send(h2_get(41, "/hello?later"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(heads().size(), 20u) << "read on while 5 MiB of answers wait unread";
    EXPECT_NE(client.read_until("/hello?later", 5s).find("/hello?later"), std::string::npos)
        << "not read again once the client reads";
}

TEST_F(HttpBounds, RefusedBodyIsReadPastOnlyWithinABound) {
    const std::string head =
        "POST /nowhere HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string after = "GET /hello?after HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string trailers = "0\r\n";
    for (int i = 0; i < 200000; ++i)
        trailers += "x-trailer: " + std::to_string(i) + "\r\n";
    struct Case {
        const char* name;
        std::string body;
        bool connection_goes_on;
    };
    const Case cases[] = {
        {"a few trailer fields", "4\r\nbody\r\n0\r\nx-a: 1\r\nx-b: 2\r\n\r\n", true},
        {"200,000 trailer fields", trailers + "\r\n", false},
        {"a 1 MB chunk extension", "1;" + std::string(1 << 20, 'e') + "\r\nx\r\n0\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection client(server_.path());
        client.send(head);
        ASSERT_TRUE(client.read_until("not found", 2s).ends_with("not found"));
        client.send_until(c.body + after, std::chrono::steady_clock::now() + 3s);
        if (c.connection_goes_on) {
            EXPECT_TRUE(client.read_until("/hello?after", 2s).ends_with("/hello?after"));
        } else {
            EXPECT_TRUE(client.read_to_eof(3s)) << "the connection closes past the bound";
            EXPECT_EQ(client.received().find("/hello?after"), std::string::npos);
        }
    }
}

TEST_F(HttpBounds, RequestBegunMustArriveInTime) {
    const std::string h2_start = std::string(h2::PREFACE) + h2::settings();
    struct Case {
        const char* name;
        std::string sent;
        std::string trickled;  // then one byte every 50 ms
    };
    const Case cases[] = {
        {"HTTP/1.1 head stalled", "GET /hello HTTP/1.1\r\nHost: x\r\n", ""},
        {"HTTP/1.1 head trickled", "GET /hello HTTP/1.1\r\n", "X-Slow: " + std::string(100, 'a')},
        {"HTTP/1.1 pipelined head stalled",
         "GET /hello HTTP/1.1\r\nHost: x\r\n\r\nGET /hello HTTP/1.1\r\n", ""},
        {"preface stalled", "PRI * HTTP/2.0\r\n", ""},
        {"preface trickled", "P", std::string(h2::PREFACE.substr(1))},
        {"HTTP/2 settings never sent", std::string(h2::PREFACE), ""},
        {"HTTP/2 header block stalled",
         h2_start +
             h2::frame(h2::HEADERS, h2::END_HEADERS, 1, h2::request_fields("/hello")).substr(0, 12),
         ""},
        {"HTTP/1.1 body stalled", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc",
         ""},
        {"HTTP/1.1 body trickled", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n",
         std::string(100, 'a')},
        {"HTTP/1.1 refused body stalled",
         "POST /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nab", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection client(server_.path());
        const auto started = Clock::now();
        client.send(c.sent);
        bool closed = false;
        for (char byte : c.trickled) {
            if ((closed = client.read_to_eof(50ms))) break;
            client.send_until(std::string_view(&byte, 1), std::chrono::steady_clock::now() + 50ms);
        }
        closed = closed || client.read_to_eof(3s);
        const auto elapsed = Clock::now() - started;
        EXPECT_TRUE(closed);
        EXPECT_GE(elapsed, REQUEST_TIMEOUT - 50ms);
        EXPECT_LT(elapsed, 3s);
    }
}

// A stream whose request body stops short is reset; the connection goes on.
TEST_F(HttpBounds, Http2RequestBodyMustArriveInTime) {
    RawConnection client(server_.path());
    const auto started = Clock::now();
    client.send(std::string(h2::PREFACE) + h2::settings() +
                h2::frame(h2::HEADERS, h2::END_HEADERS, 1, h2::post_fields("/echo", 10)) +
                h2::frame(h2::DATA, 0, 1, "abc") +
                // Answered on its head, but the declared body never comes either.
                h2::frame(h2::HEADERS, h2::END_HEADERS, 3, h2::post_fields("/nowhere", 10)));
    std::vector<h2::Frame> frames = read_frames_until(
        client, [](const auto& f) { return h2::reset_code(f, 1) && h2::reset_code(f, 3); });
    const auto elapsed = Clock::now() - started;
    EXPECT_EQ(h2::reset_code(frames, 1), NGHTTP2_CANCEL);
    EXPECT_EQ(h2::response_status(frames, 3), 404);
    EXPECT_EQ(h2::reset_code(frames, 3), NGHTTP2_CANCEL);
    EXPECT_GE(elapsed, REQUEST_TIMEOUT - 50ms);
    EXPECT_LT(elapsed, 3s);

    client.send(h2_get(5, "/hello?after"));
    frames = read_frames_until(client, [](const auto& f) { return h2::response_status(f, 5); });
    EXPECT_EQ(h2::response_status(frames, 5), 200);
}

TEST_F(HttpBounds, IdleConnectionsWaitWithoutADeadline) {
    const std::string h2_start = std::string(h2::PREFACE) + h2::settings();
    const std::string h1_late = "GET /hello?late HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string h2_late = h2_get(1, "/hello?late");
    struct Case {
        const char* name;
        std::string sent;
        std::string late;
    };
    const Case cases[] = {
        {"nothing sent", "", h1_late},
        {"HTTP/1.1 after an answer", "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n", h1_late},
        {"HTTP/2 after the settings", h2_start, h2_late},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection client(server_.path());
        client.send(c.sent);
        EXPECT_FALSE(client.read_to_eof(4 * REQUEST_TIMEOUT));
        client.send(c.late);
        EXPECT_NE(client.read_until("/hello?late", 2s).find("/hello?late"), std::string::npos);
    }
}

// What a handler's reply learns of its client: gone once the request's stream or connection has
// closed, and not for a client that has only finished sending.
TEST_F(HttpBounds, ReplyTellsWhenItsClientHasGone) {
    const std::string h1_park = "GET /park HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string h2_park = std::string(h2::PREFACE) + h2::settings() + h2_get(1, "/park");
    struct Case {
        const char* name;
        std::string request;
        std::function<void(RawConnection&)> then;
        bool gone;
    };
    const Case cases[] = {
        {"HTTP/1.1 connection closed", h1_park, [](RawConnection& c) { c.close(); }, true},
        {"HTTP/1.1 sending side shut", h1_park, [](RawConnection& c) { c.shutdown_send(); }, false},
        {"HTTP/2 connection closed", h2_park, [](RawConnection& c) { c.close(); }, true},
        {"HTTP/2 stream reset", h2_park,
         [](RawConnection& c) {
             c.send(h2::frame(h2::RST_STREAM, 0, 1, std::string("\0\0\0\x08", 4)));
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection client(server_.path());
        client.send(c.request);
        ASSERT_TRUE(parked_.wait_for(1));
        http::Reply reply = parked_.take();
        Flag told;
        reply.client()->on_gone([&told] { told.set(); });
        c.then(client);
        EXPECT_EQ(told.wait(c.gone ? 2000ms : 300ms), c.gone);
        EXPECT_EQ(reply.client()->gone(), c.gone);
        reply({200, {}, "late"});
        if (!c.gone) {
            EXPECT_NE(client.read_until("late", 2s).find("late"), std::string::npos);
        }
    }
}

// A client that sent its requests and closed its connection before the server came to read them
// has them dropped unread; one that stays is served.
TEST_F(HttpBounds, RequestsOfAClientThatHasGoneAreNotRead) {
    // Both worker threads held, so that the clients below are read only once they are done.
    std::vector<std::unique_ptr<RawConnection>> holders;
    for (int worker = 0; worker < 2; ++worker) {
        holders.push_back(std::make_unique<RawConnection>(server_.path()));
        holders.back()->send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    ASSERT_TRUE(eventually([&] { return heads().size() == 2; }));
    for (const std::string& request :
         {std::string("GET /park HTTP/1.1\r\nHost: x\r\n\r\n"),
          std::string(h2::PREFACE) + h2::settings() + h2_get(1, "/park")}) {
        RawConnection gone(server_.path());
        gone.send(request);
        gone.close();
    }
    RawConnection staying(server_.path());
    staying.send("GET /park?staying HTTP/1.1\r\nHost: x\r\n\r\n");
    release_held_workers();
    ASSERT_TRUE(parked_.wait_for(1));
    EXPECT_FALSE(parked_.wait_for(2, 300ms)) << "a request of a client that had gone was read";
    EXPECT_EQ(heads().back().target, "/park?staying");
}

// Bodies being collected count against a budget per connection and one for the whole server.
class HeldRequestBytes : public HttpServerFixture {
  protected:
    static constexpr std::size_t BODY = 4096;
    HeldRequestBytes()
        : HttpServerFixture({.max_held_request_bytes_per_connection = 2 * BODY,
                             .max_held_request_bytes = 4 * BODY}) {}

    // A connection that begins POST /echo streams of BODY bytes, sending only a few of each.
    struct Hoarder {
        explicit Hoarder(const std::string& path) : connection(path) {
            connection.send(std::string(h2::PREFACE) + h2::settings());
        }
        // Returns once the server has taken the stream's first bytes (it answered a PING sent
        // after them).
        void begin(std::uint32_t stream) {
            connection.send(
                h2::frame(h2::HEADERS, h2::END_HEADERS, stream, h2::post_fields("/echo", BODY)) +
                h2::frame(h2::DATA, 0, stream, "abc") +
                h2::frame(h2::PING, 0, 0, std::string(8, char(stream))));
            read_frames_until(connection, [&](const auto& frames) {
                return std::ranges::any_of(frames, [&](const h2::Frame& f) {
                    return f.type == h2::PING && f.payload == std::string(8, char(stream));
                });
            });
        }
        void finish(std::uint32_t stream) {
            connection.send(
                h2::frame(h2::DATA, h2::END_STREAM, stream, std::string(BODY - 3, 'x')));
        }
        // The stream's fate: its status, or the code of its reset.
        std::string fate(std::uint32_t stream) {
            const std::vector<h2::Frame> frames = read_frames_until(connection, [&](const auto& f) {
                return h2::response_status(f, stream) || h2::reset_code(f, stream);
            });
            if (const auto status = h2::response_status(frames, stream))
                return std::to_string(*status);
            const auto code = h2::reset_code(frames, stream);
            return code == NGHTTP2_REFUSED_STREAM ? "refused"
                                                  : "reset " + std::to_string(code.value_or(0));
        }
        RawConnection connection;
    };
};

TEST_F(HeldRequestBytes, RefuseNewStreamsOnlyWhereTheBytesAreHeld) {
    Hoarder a(server_.path());
    a.begin(1);
    a.begin(3);
    a.connection.send(h2_get(5, "/hello"));
    EXPECT_EQ(a.fate(5), "refused") << "the connection holds its share";

    Hoarder b(server_.path());
    b.begin(1);
    Hoarder c(server_.path());
    c.begin(1);
    b.connection.send(h2_get(3, "/hello"));
    EXPECT_EQ(b.fate(3), "refused") << "the server holds its budget, and so does b";

    // A client that holds nothing is served all the same, whole requests and bodies alike.
    Hoarder fresh(server_.path());
    fresh.connection.send(h2_get(1, "/hello"));
    EXPECT_EQ(fresh.fate(1), "200");
    fresh.begin(3);
    fresh.finish(3);
    EXPECT_EQ(fresh.fate(3), "200");

    a.finish(1);
    EXPECT_EQ(a.fate(1), "200");
    b.connection.send(h2_get(5, "/hello"));
    EXPECT_EQ(b.fate(5), "200") << "room again once a body has been taken";
}

class ConnectionCap : public HttpServerFixture {
  protected:
    ConnectionCap() : HttpServerFixture({.max_connections = 3}) {}

    // The connection is still open: nothing closes it within a short wait.
    static bool open(RawConnection& connection) { return !connection.read_to_eof(100ms); }
};

TEST_F(ConnectionCap, NewConnectionClosesTheOneIdleLongest) {
    RawConnection used_early(server_.path());
    std::this_thread::sleep_for(20ms);
    H2Client h2(server_.path());
    std::int32_t stream = h2.submit({.path = "/hello"});
    ASSERT_TRUE(h2.finish(stream));
    std::this_thread::sleep_for(20ms);
    RawConnection silent(server_.path());
    std::this_thread::sleep_for(20ms);
    // Opened first, but idle only since its answer: the most recent.
    used_early.send("GET /hello?early HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_NE(used_early.read_until("/hello?early", 2s).find("/hello?early"), std::string::npos);

    RawConnection newcomer(server_.path());
    newcomer.send("GET /hello?new HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(newcomer.read_until("/hello?new", 2s).find("/hello?new"), std::string::npos);
    EXPECT_FALSE(h2.run_until([] { return false; }, 1s));
    EXPECT_TRUE(h2.connection_closed()) << "the HTTP/2 connection was idle longest";
    EXPECT_TRUE(open(used_early));
    EXPECT_TRUE(open(silent));
}

TEST_F(ConnectionCap, RequestsStalledOnThePeerMakeRoomButHandlersAtWorkDoNot) {
    RawConnection stalled_head(server_.path());
    stalled_head.send("GET /hello HTTP/1.1\r\nHo");
    std::this_thread::sleep_for(20ms);
    RawConnection stalled_body(server_.path());
    stalled_body.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc");
    std::this_thread::sleep_for(20ms);
    RawConnection working(server_.path());
    working.send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(parked_.wait_for(1));

    // Each newcomer stays open, so the next one must make room too.
    RawConnection first(server_.path());
    first.send("GET /hello?first HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(first.read_until("/hello?first", 2s).find("/hello?first"), std::string::npos);
    RawConnection second(server_.path());
    second.send("GET /hello?second HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(second.read_until("/hello?second", 2s).find("/hello?second"), std::string::npos);
    EXPECT_TRUE(stalled_head.read_to_eof(2s)) << "waited longest for its peer";
    EXPECT_TRUE(stalled_body.read_to_eof(2s));
    parked_.take()({200, {}, "answered"});
    EXPECT_NE(working.read_until("answered", 2s).find("answered"), std::string::npos);
}

TEST_F(ConnectionCap, NewConnectionIsClosedWhenNoneIsIdle) {
    std::vector<std::unique_ptr<RawConnection>> busy;
    for (int i = 0; i < 3; ++i) {
        busy.push_back(std::make_unique<RawConnection>(server_.path()));
        busy.back()->send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    ASSERT_TRUE(parked_.wait_for(3));
    RawConnection refused(server_.path());
    refused.send_until("GET /hello HTTP/1.1\r\nHost: x\r\n\r\n",
                       std::chrono::steady_clock::now() + 1s);
    EXPECT_TRUE(refused.read_to_eof(2s));
    EXPECT_EQ(refused.received(), "");

    for (int i = 0; i < 3; ++i)
        parked_.take()({200, {}, "answered"});
    for (auto& connection : busy)
        EXPECT_NE(connection->read_until("answered", 2s).find("answered"), std::string::npos);
    RawConnection served(server_.path());
    served.send("GET /hello HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(served.read_until("/hello", 2s).find("/hello"), std::string::npos)
        << "answered connections are idle again, and make room";
}

}  // namespace
}  // namespace zembra::test
