// An HTTP/1.x or HTTP/2 response as a test sees it: status, header fields, body bytes. Parsed
// from the bytes of an HTTP/1 exchange or from curl's --include output.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zembra::test {

struct HttpAnswer {
    int status = 0;
    // Field names lower-cased, values as sent, in the order received.
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;

    // The value of the first field of that (lower-case) name.
    std::optional<std::string> field(std::string_view name) const;
};

// Parses one response: a status line ("HTTP/1.1 200 OK", "HTTP/2 200"), header lines, an empty
// line, then everything after it as the body. Throws std::runtime_error on anything else.
HttpAnswer parse_http_answer(std::string_view bytes);

// The "pid" of a POST /start answer's body; -1 when it has none.
pid_t started_pid(const HttpAnswer& answer);

}  // namespace zembra::test
