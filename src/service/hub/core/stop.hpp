// Stopping the Core of one session, within a bound.
#pragma once

#include <expected>

#include "service/hub/core/core_error.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

enum class StopOutcome {
    Stopped,
    // The slot is empty.
    NotRunning,
    // The slot holds the Core of another session; it keeps running.
    SessionMismatch,
};

// Blocking: may wait about 4.5 s for the Core to exit, under the Core slot's lock. A failed
// release is logged and keeps the record.
std::expected<StopOutcome, CoreError> stop_core(const StopParams& params);

}  // namespace zembra::hub
