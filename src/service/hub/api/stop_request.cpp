#include "service/hub/api/stop_request.hpp"

#include "service/hub/api/responses.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"

namespace zembra::hub {

http::Response stop_request(const StopParams& params) {
    if (!is_session_id(params.session_id))
        return error_response("invalidRequest", "invalid Core session ID", 400);
    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    if (!*slot) return json_response(StopResponse{params.session_id, false, "notRunning"}, 200);
    if ((*slot)->session_id != params.session_id)
        return json_response(StopResponse{params.session_id, false, "sessionMismatch"}, 409);
    if (Result<void> released = release_managed_core(*slot); !released) {
        log_message("Helper could not stop the managed Core: " + released.error().text());
        return error_response("coreStopFailed", released.error().text(), 500);
    }
    return json_response(StopResponse{params.session_id, true, std::nullopt}, 200);
}

}  // namespace zembra::hub
