// What a ping checks of the Core beyond its digest: that its file is in place.
#pragma once

#include <string>

#include "error.hpp"

namespace zembra::hub {

// Blocking: opens the Core file (it is not hashed) and answers the helper's own path. Never
// takes the Core slot's lock.
Result<std::string> check_core_in_place();

}  // namespace zembra::hub
