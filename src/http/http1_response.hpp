// HTTP/1.1 wire form of a Response's head, written into a reused buffer; the body follows it in
// the same write, straight from the response.
#pragma once

#include <string>

#include "http/message.hpp"

namespace zembra::http {

enum class Persistence {
    KeepAlive,        // HTTP/1.1 default: nothing to announce
    KeepAliveHttp10,  // an HTTP/1.0 client asked to keep the connection: say so
    Close,            // the connection ends after this response: announce it
};

// Appends the status line and the fields, up to the empty line, to `out`. Framing is ours: the
// application's own "content-length", "transfer-encoding" and "connection" fields are replaced by
// what `persistence` requires.
void append_http1_head(const Response& response, Persistence persistence, std::string& out);

}  // namespace zembra::http
