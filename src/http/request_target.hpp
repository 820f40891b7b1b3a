// The request target as the application routes it. HTTP/1.1 lets a client send the absolute
// form ("http://localhost/logs") that a server must accept; routing sees only path and query.
#pragma once

#include <string>
#include <string_view>

namespace zembra::http {

// An absolute-form target without its scheme and authority ("/" standing in for an empty
// path); any other target unchanged. The authority is dropped unread, as HTTP/2's :authority.
std::string origin_form(std::string_view target);

}  // namespace zembra::http
