// POST /start: checks, digest verification and the launch of the Core.
#pragma once

#include <string>

#include "error.hpp"
#include "http/message.hpp"
#include "service/hub/params.hpp"

namespace zembra::hub {

// The Core executable next to the helper's own.
Result<std::string> core_path();

// Blocking: stops a previous Core, hashes the Core file and spawns it.
http::Response start_request(const StartParams& params);

}  // namespace zembra::hub
