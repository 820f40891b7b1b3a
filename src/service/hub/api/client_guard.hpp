// The first stage of every request: the "origin" and "host" fields must be plain text, and
// the client must be a local one: no browser origin, and a "host", if any, that names this
// machine or this helper.
#pragma once

#include <optional>
#include <string_view>

#include "http/message.hpp"
#include "service/hub/api/refusals.hpp"

namespace zembra::hub {

// True when `host` is a URI authority and nothing else, and its host part (port dropped) is
// "127.0.0.1", "localhost" or `executable_name`, ignoring ASCII letter case.
bool is_local_host(std::string_view host, std::string_view executable_name);

// InvalidHeader or ForbiddenClient, or none when the request may go on to the routes.
std::optional<Rejection> guard_client(const http::RequestHead& head);

}  // namespace zembra::hub
