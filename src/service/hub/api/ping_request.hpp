// GET /ping: the digest the client expects, and the Core file in place.
#pragma once

#include <string>

#include "error.hpp"
#include "http/message.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

// Blocking: opens the Core file. Never takes the Core slot's lock.
http::Response ping_request(const PingParams& params);
// 200 with the helper's path, or 409 with the error's text; both plain text with the protocol
// header.
http::Response ping_response(const Result<std::string>& outcome);

}  // namespace zembra::hub
