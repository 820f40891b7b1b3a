#include "service/hub/api/stop_request.hpp"

#include <utility>

#include "service/hub/api/refusals.hpp"
#include "service/hub/api/responses.hpp"
#include "service/hub/core/stop.hpp"

namespace zembra::hub {
namespace {

// A `switch` without `default`: the compiler names an outcome added without its answer.
http::Response stop_answer(const std::string& session_id, StopOutcome outcome) {
    switch (outcome) {
        case StopOutcome::Stopped:
            return json_response(StopResponse{session_id, true, std::nullopt}, 200);
        case StopOutcome::NotRunning:
            return json_response(StopResponse{session_id, false, "notRunning"}, 200);
        case StopOutcome::SessionMismatch:
            return json_response(StopResponse{session_id, false, "sessionMismatch"}, 409);
    }
    std::unreachable();
}

}  // namespace

http::Response stop_request(const StopParams& params) {
    std::expected<StopOutcome, CoreError> stopped = stop_core(params);
    if (!stopped) return core_error_response(stopped.error());
    return stop_answer(params.session_id, *stopped);
}

}  // namespace zembra::hub
