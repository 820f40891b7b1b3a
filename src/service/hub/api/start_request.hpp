// POST /start: checks, digest verification and the launch of the Core.
#pragma once

#include <string>

#include "http/message.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

// Blocking: stops a previous Core, hashes the Core file and spawns it.
http::Response start_request(const StartParams& params);

// The 500 answer of a start that failed in the helper rather than in the Core, given how.
http::Response start_task_failed(const std::string& failure);

}  // namespace zembra::hub
