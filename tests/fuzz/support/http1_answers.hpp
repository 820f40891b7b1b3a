// What an HTTP/1 server may send on a connection: a sequence of whole, well-formed responses
// (interim 100 Continue included), nothing cut short and nothing between them.
#pragma once

#include <string_view>

namespace zembra::fuzz {

void check_http1_answers(std::string_view sent);

}  // namespace zembra::fuzz
