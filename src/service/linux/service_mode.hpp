// Service mode: the event loop and run_service, the body of the long-running service.
#pragma once

#include "error.hpp"
#include "service/linux/owner.hpp"

namespace zembra::service {

// Creates the event loop, runs run_service on the main thread until the bounded shutdown has
// ended, then tears the loop down (waiting for blocking jobs already running).
Result<> run_service_mode(OwnerIds owner);

}  // namespace zembra::service
