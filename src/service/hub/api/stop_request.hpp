// POST /stop: the Core of one session, stopped within a bound.
#pragma once

#include "http/message.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

// Blocking: may wait about 4.5 s for the Core to exit, under the Core slot's lock.
http::Response stop_request(const StopParams& params);

}  // namespace zembra::hub
