#include "support/http1_answers.hpp"

#include <optional>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "support/fuzz_check.hpp"

namespace zembra::fuzz {
namespace {

namespace beast_http = boost::beast::http;

// The length of the whole response at the start of `bytes`, if there is one. `head_request`: the
// response answers a HEAD request, so it declares a body without carrying one.
std::optional<std::size_t> response_length(std::string_view bytes, bool head_request) {
    beast_http::response_parser<beast_http::string_body> parser;
    parser.eager(true);
    parser.skip(head_request);
    parser.body_limit(boost::none);
    std::size_t used = 0;
    boost::system::error_code ec;
    while (!parser.is_done() && used < bytes.size()) {
        const std::size_t n = parser.put(boost::asio::buffer(bytes.substr(used)), ec);
        if (ec || n == 0) return std::nullopt;
        used += n;
    }
    if (!parser.is_done()) return std::nullopt;
    return used;
}

}  // namespace

// Which request a response answers is not known here, so both readings are followed (with or
// without the declared body); the bytes pass if some reading ends exactly at their end.
void check_http1_answers(std::string_view sent) {
    std::vector<bool> reachable(sent.size() + 1, false);
    reachable[0] = true;
    for (std::size_t at = 0; at < sent.size(); ++at) {
        if (!reachable[at]) continue;
        for (const bool head_request : {false, true}) {
            if (const auto length = response_length(sent.substr(at), head_request))
                reachable[at + *length] = true;
        }
    }
    FUZZ_CHECK(reachable[sent.size()] && "the server sent something other than whole responses");
}

}  // namespace zembra::fuzz
