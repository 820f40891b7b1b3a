#include "service/hub/api/start_request.hpp"

#include <cstdint>

#include "service/hub/api/refusals.hpp"
#include "service/hub/api/responses.hpp"
#include "service/hub/core/start.hpp"

namespace zembra::hub {

http::Response start_request(const StartParams& params) {
    std::expected<StartedCore, CoreError> started = start_core(params);
    if (!started) return core_error_response(started.error());
    return json_response(StartResponse{params.session_id, static_cast<std::uint32_t>(started->pid)},
                         200);
}

http::Response start_task_failed(const std::string& failure) {
    return error_response("internalError", "Core start task failed: " + failure, 500);
}

}  // namespace zembra::hub
