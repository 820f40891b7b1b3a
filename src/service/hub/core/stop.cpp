#include "service/hub/core/stop.hpp"

#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"

namespace zembra::hub {

std::expected<StopOutcome, CoreError> stop_core(const StopParams& params) {
    if (!is_session_id(params.session_id))
        return std::unexpected(
            CoreError{CoreErrorKind::InvalidInput, Error("invalid Core session ID")});
    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    if (!*slot) return StopOutcome::NotRunning;
    if ((*slot)->session_id != params.session_id) return StopOutcome::SessionMismatch;
    if (Result<void> released = release_managed_core(*slot); !released) {
        log_message("Helper could not stop the managed Core: " + released.error().text());
        return std::unexpected(CoreError{CoreErrorKind::StopFailed, std::move(released.error())});
    }
    return StopOutcome::Stopped;
}

}  // namespace zembra::hub
