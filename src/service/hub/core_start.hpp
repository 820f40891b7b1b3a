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

// The 500 answer of a start that failed in the helper rather than in the Core, given how.
http::Response start_task_failed(const std::string& failure);

}  // namespace zembra::hub
