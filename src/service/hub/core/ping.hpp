// What a ping checks of the Core: the digest the client expects, and the Core file in place.
#pragma once

#include <expected>
#include <string>

#include "service/hub/core/core_error.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

// Blocking: opens the Core file (it is not hashed); the helper's own path when the digest is
// this helper's and the file is there. A failure is logged. Never takes the Core slot's lock.
std::expected<std::string, CoreError> ping_core(const PingParams& params);

}  // namespace zembra::hub
