// One client connection's bytes, served by http::Server over a socket pair with the helper's real
// request pipeline and stub handlers (no Core, nothing that blocks), then checked: the server
// must close the connection once the client has sent everything, and every byte it sent must be
// well-formed answers of the protocol the connection chose.
#pragma once

#include <string_view>

namespace zembra::fuzz {

void serve_and_check(std::string_view client_bytes);

}  // namespace zembra::fuzz
