// HTTP/1.1 wire form of a Response, written into a reused buffer so that the status line,
// the fields and the body go out in one write.
#pragma once

#include <string>

#include "http/message.hpp"

namespace zembra::http {

enum class Persistence {
    keep_alive,      // HTTP/1.1 default: nothing to announce
    keep_alive_1_0,  // an HTTP/1.0 client asked to keep the connection: say so
    close,           // the connection ends after this response: announce it
};

// Appends the response to `out`. Framing is ours: the application's own "content-length",
// "transfer-encoding" and "connection" fields are replaced by what `persistence` requires. The
// answer to a HEAD request declares the body's length but carries no body.
void append_http1_response(const Response& response, Persistence persistence, bool head_request,
                           std::string& out);

}  // namespace zembra::http
