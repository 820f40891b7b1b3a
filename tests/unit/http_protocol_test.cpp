// Protocol choice and the HTTP/1.1 wire form, without sockets.
#include <gtest/gtest.h>

#include "http/http1_response.hpp"
#include "http/protocol_detector.hpp"
#include "http/request_target.hpp"

namespace zembra::http {
namespace {

using namespace std::string_view_literals;

TEST(DetectProtocol, DecidesOnTheFirstMismatchingByte) {
    struct Case {
        const char* name;
        std::string_view bytes;
        Protocol expected;
    };
    const Case cases[] = {
        {"nothing yet", "", Protocol::Undecided},
        {"preface prefix", "PRI * HTTP/2.0\r\n", Protocol::Undecided},
        {"whole preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", Protocol::Http2},
        {"preface and a frame", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n\0\0\0\4"sv, Protocol::Http2},
        {"HTTP/1 request with the preface's method", "PRI * HTTP/1.1\r\n", Protocol::Http1},
        {"short HTTP/1 request", "GET / HTTP/1.0\r\n\r\n", Protocol::Http1},
        {"one byte", "G", Protocol::Http1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detect_protocol(c.bytes), c.expected);
    }
}

TEST(OriginForm, AbsoluteFormKeepsOnlyPathAndQuery) {
    struct Case {
        const char* target;
        const char* expected;
    };
    constexpr Case cases[] = {
        {"/logs", "/logs"},
        {"/ping?coreSha256=x", "/ping?coreSha256=x"},
        {"*", "*"},
        {"http://localhost/logs", "/logs"},
        {"http://localhost/ping?coreSha256=x", "/ping?coreSha256=x"},
        // The authority is never read, whatever it names.
        {"http://example.com:8080/logs", "/logs"},
        {"HTTPS://user@[::1]:1/logs", "/logs"},
        {"web+x.y-z://h/logs", "/logs"},
        {"http://localhost", "/"},
        {"http://localhost?x=1", "/?x=1"},
        {"http://localhost//logs", "//logs"},
        {"http://localhost/logs?next=http://a/b", "/logs?next=http://a/b"},
        // Not absolute form: no authority, no scheme, or authority form.
        {"http:/logs", "http:/logs"},
        {"1http://localhost/logs", "1http://localhost/logs"},
        {"://localhost/logs", "://localhost/logs"},
        {"localhost:80", "localhost:80"},
        {"logs", "logs"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(origin_form(c.target), c.expected);
    }
}

TEST(Http1Response, FramingIsTheServers) {
    const Response response{
        200,
        {{"Content-Type", "text/plain"}, {"Content-Length", "99"}, {"connection", "close"}},
        "hi"};
    struct Case {
        const char* name;
        Persistence persistence;
        const char* wire;
    };
    const Case cases[] = {
        {"keep-alive", Persistence::KeepAlive,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\ncontent-length: 2\r\n\r\n"},
        {"close", Persistence::Close,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nconnection: close\r\n"
         "content-length: 2\r\n\r\n"},
        {"HTTP/1.0 keep-alive", Persistence::KeepAliveHttp10,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nconnection: keep-alive\r\n"
         "content-length: 2\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = "left ";
        append_http1_head(response, c.persistence, out);
        EXPECT_EQ(out, std::string("left ") + c.wire);
    }
}

}  // namespace
}  // namespace zembra::http
