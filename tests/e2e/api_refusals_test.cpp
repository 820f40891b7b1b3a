// Every refusal of the request pipeline, answered over both protocols with its exact status,
// body and header fields.
#include <optional>
#include <string>
#include <vector>

#include "e2e/api_fixture.hpp"

namespace zembra::test {
namespace {

struct Refusal {
    const char* name;
    CurlRequest request;
    int status;
    std::string body;
    bool protocol_header;
    // Over HTTP/1.1: the answer says "connection: close" (a refused client, a body too large to
    // read past). HTTP/2 never sends the field.
    bool connection_close;
    // A body of unknown length, answered on the head: over HTTP/2 the helper then ends the
    // stream with RST_STREAM(NO_ERROR), as RFC 9113 allows, and curl 7.88 drops the answer it
    // already has. Our own HTTP/2 client checks that row (Http2Streams).
    bool unknown_length_answered_early = false;
};

const std::string INVALID = "invalidRequest";

const Refusal REFUSALS[] = {
    {"origin not visible ASCII",
     {.target = "/logs", .headers = {"Origin: http://caf\xc3\xa9.example"}},
     400,
     error_json(INVALID, "invalid request header"),
     false,
     false},
    {"browser origin",
     {.target = "/logs", .headers = {"Origin: null"}},
     403,
     error_json(INVALID, "browser origins and non-local hosts are not allowed"),
     false,
     true},
    {"unknown path",
     {.target = "/version"},
     404,
     error_json("notFound", "Helper endpoint not found"),
     false,
     false},
    {"wrong method",
     {.method = "DELETE", .target = "/logs"},
     405,
     error_json(INVALID, "Helper endpoint does not accept this method"),
     false,
     false},
    {"ping without query",
     {.target = "/ping"},
     400,
     error_json(INVALID, "invalid ping query"),
     true,
     false},
    {"body of unknown length",
     {.method = "POST", .target = "/stop", .body = stop_json(SESSION_ID), .unknown_length = true},
     411,
     error_json(INVALID, "request body length is required"),
     false,
     false,
     true},
    {"body above 4096 bytes",
     {.method = "POST", .target = "/stop", .body = std::string(4097, ' ')},
     413,
     error_json(INVALID, "request body exceeds 4096 bytes"),
     false,
     true},
    {"body not the record",
     {.method = "POST", .target = "/stop", .body = "{}"},
     400,
     error_json(INVALID, "invalid JSON request body"),
     false,
     false},
    {"body not JSON by its type",
     {.method = "POST",
      .target = "/stop",
      .body = stop_json(SESSION_ID),
      .content_type = "text/plain"},
     500,
     error_json("internalError", "unhandled Helper request rejection"),
     false,
     false},
};

using Refusals = ApiTest;

TEST_P(Refusals, AnswerWithTheirStatusBodyAndFields) {
    for (const Refusal& refusal : REFUSALS) {
        SCOPED_TRACE(refusal.name);
        if (GetParam() == Protocol::Http2 && refusal.unknown_length_answered_early) continue;
        const HttpAnswer answer = ask(refusal.request);
        EXPECT_EQ(answer.status, refusal.status);
        EXPECT_EQ(answer.body, refusal.body);
        EXPECT_EQ(answer.field("content-type"), "application/json");
        EXPECT_EQ(answer.field(PROTOCOL_HEADER),
                  refusal.protocol_header ? std::optional<std::string>("6") : std::nullopt);
        const bool close_expected = refusal.connection_close && GetParam() == Protocol::Http1;
        EXPECT_EQ(answer.field("connection"),
                  close_expected ? std::optional<std::string>("close") : std::nullopt);
        EXPECT_FALSE(answer.field("access-control-allow-origin"));
    }
}

ZEMBRA_OVER_BOTH_PROTOCOLS(Refusals);

}  // namespace
}  // namespace zembra::test
