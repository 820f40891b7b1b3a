// curl, the real client, run under the owner's ids against the helper's socket, over HTTP/1.1
// or HTTP/2 by prior knowledge.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/http_answer.hpp"
#include "support/process.hpp"
#include "support/service.hpp"

namespace zembra::test {

inline constexpr const char* HELPER_SOCKET = "/run/zembra/helper.sock";

enum class Protocol { Http1, Http2 };
const char* protocol_name(Protocol protocol);

struct CurlRequest {
    std::string method = "GET";
    std::string target{};                // path and query, sent as is
    std::vector<std::string> headers{};  // curl -H arguments ("name: value", "name;" for empty)
    std::optional<std::string> body{};   // sent with a Content-Length
    // Sends `body` from a stream of unknown length: chunked over HTTP/1.1, no content-length
    // over HTTP/2.
    bool unknown_length = false;
    // Without one, curl's default form content type is removed: no Content-Type at all.
    std::optional<std::string> content_type{};
    std::string socket = HELPER_SOCKET;
};

// One exchange on a fresh connection. Throws when curl fails or the answer does not parse.
HttpAnswer curl_exchange(Protocol protocol, const CurlRequest& request);

// curl as the owner on the helper's socket with the given further arguments.
ProcessResult run_curl(Protocol protocol, const std::vector<std::string>& arguments,
                       const std::string& socket = HELPER_SOCKET, std::string stdin_data = {});

}  // namespace zembra::test
