// What an HTTP/2 server may send: its SETTINGS first, then whole frames whose header blocks decode
// (HPACK) to responses with a valid status. The last frame may be cut short: a client that ends
// its side of the connection gives up what was still on its way.
#pragma once

#include <string_view>

namespace zembra::fuzz {

void check_http2_frames(std::string_view sent);

}  // namespace zembra::fuzz
