#include "service/hub/core_control.hpp"

#include <fcntl.h>

#include "service/hub/core_digest.hpp"
#include "service/hub/core_forms.hpp"
#include "service/hub/core_start.hpp"
#include "service/hub/logs.hpp"
#include "service/hub/managed_core.hpp"
#include "service/hub/responses.hpp"
#include "service/linux/executable_path.hpp"
#include "service/linux/file_descriptor.hpp"
#include "utf8.hpp"

namespace zembra::hub {
namespace {

// The helper's own path once the Core file is known to be in place; the file is not hashed.
Result<std::string> check_core_in_place() {
    Result<std::string> core = core_path();
    if (!core) return fail(std::move(core.error()));
    if (!service::FileDescriptor(::open(core->c_str(), O_RDONLY | O_CLOEXEC)))
        return fail(Error::last_os());
    return service::current_executable_path();
}

}  // namespace

http::Response ping_request(const PingParams& params) {
    if (params.core_sha256 != EXPECTED_CORE_SHA256) {
        log_message("Helper ping rejected a Core SHA256 mismatch");
        http::Response response = error_response("coreSha256Mismatch", "Core SHA256 mismatch", 409);
        response.set_field(PROTOCOL_HEADER, std::string(PROTOCOL_VERSION));
        return response;
    }
    Result<std::string> outcome = check_core_in_place();
    if (!outcome) log_message("Helper ping failed: " + outcome.error().text());
    return ping_response(outcome);
}

http::Response ping_response(const Result<std::string>& outcome) {
    http::Response response = outcome ? text_response(lossy_utf8(*outcome), 200)
                                      : text_response(outcome.error().text(), 409);
    response.set_field(PROTOCOL_HEADER, std::string(PROTOCOL_VERSION));
    return response;
}

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
