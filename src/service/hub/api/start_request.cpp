#include "service/hub/api/start_request.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "service/hub/api/responses.hpp"
#include "service/hub/core/launch.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"
#include "service/hub/core/params.hpp"
#include "service/hub/core/verification.hpp"
#include "service/linux/owner.hpp"

namespace zembra::hub {
namespace {

http::Response invalid_request(std::string message) {
    return error_response("invalidRequest", std::move(message), 400);
}

// The answer to a launch that failed; a spawn failure is logged first.
http::Response launch_failure_response(LaunchFailure failure) {
    if (failure.stage == LaunchFailure::Stage::Capture)
        return start_task_failed(failure.error.text());
    log_message(failure.error.text());
    std::optional<ErrorDetails> details;
    if (const std::optional<int> os_error = failure.error.os_error())
        details = ErrorDetails{*os_error};
    return json_response(ErrorResponse{"processLaunchFailed", failure.error.text(), details}, 500);
}

}  // namespace

http::Response start_task_failed(const std::string& failure) {
    return error_response("internalError", "Core start task failed: " + failure, 500);
}

http::Response start_request(const StartParams& params) {
    if (!is_core_address(params.address)) return invalid_request("invalid Core address");
    if (!is_session_id(params.session_id)) return invalid_request("invalid Core session ID");
    Result<service::OwnerIds> owner = service::owner_from_env();
    if (!owner) return invalid_request(owner.error().text());
    struct stat address_status;
    if (::lstat(params.address.c_str(), &address_status) != 0)
        return invalid_request(os_error_text(errno));
    if (!S_ISSOCK(address_status.st_mode) || address_status.st_uid != owner->uid)
        return invalid_request("Core address is not a socket owned by the Helper owner");

    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    if (SHUTTING_DOWN.load())
        return error_response("helperStopping", "the Helper is shutting down", 503);
    if (Result<void> released = release_managed_core(*slot); !released) {
        log_message("Helper could not release the managed Core: " + released.error().text());
        return error_response("coreStopFailed", released.error().text(), 500);
    }
    // The launch runs the very file hashed here, through its descriptor.
    Result<VerifiedCore> verified = verify_core();
    if (!verified) return error_response("coreVerificationFailed", verified.error().text(), 409);
    std::expected<ManagedCore, LaunchFailure> core = launch(*verified, params);
    if (!core) return launch_failure_response(std::move(core.error()));
    const auto pid = static_cast<std::uint32_t>(core->child.pid());
    *slot = std::move(*core);
    return json_response(StartResponse{params.session_id, pid}, 200);
}

}  // namespace zembra::hub
