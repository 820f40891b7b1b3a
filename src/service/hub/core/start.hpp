// Starting the Core: input checks, the stop of a previous Core, digest verification and the
// launch, all under the Core slot's lock.
#pragma once

#include <sys/types.h>

#include <expected>

#include "service/hub/core/core_error.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

struct StartedCore {
    pid_t pid;
};

// Blocking: stops a previous Core (up to about 4.5 s), hashes the Core file and spawns it (up
// to CORE_EXEC_DEADLINE). A stop or launch failure is logged.
std::expected<StartedCore, CoreError> start_core(const StartParams& params);

}  // namespace zembra::hub
