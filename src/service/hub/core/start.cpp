#include "service/hub/core/start.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "service/hub/core/launch.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"
#include "service/hub/core/verification.hpp"
#include "service/linux/owner.hpp"

namespace zembra::hub {
namespace {

std::unexpected<CoreError> refuse(CoreErrorKind kind, Error error) {
    return std::unexpected(CoreError{kind, std::move(error)});
}

// Why `params` cannot start a Core, if it cannot: the checks that need no lock.
std::optional<Error> invalid_input(const StartParams& params) {
    if (!is_core_address(params.address)) return Error("invalid Core address");
    if (!is_session_id(params.session_id)) return Error("invalid Core session ID");
    Result<service::OwnerIds> owner = service::owner_from_env();
    if (!owner) return Error(owner.error().text());
    struct stat address_status;
    if (::lstat(params.address.c_str(), &address_status) != 0) return Error(os_error_text(errno));
    if (!S_ISSOCK(address_status.st_mode) || address_status.st_uid != owner->uid)
        return Error("Core address is not a socket owned by the Helper owner");
    return std::nullopt;
}

}  // namespace

std::expected<StartedCore, CoreError> start_core(const StartParams& params) {
    if (std::optional<Error> invalid = invalid_input(params))
        return refuse(CoreErrorKind::InvalidInput, std::move(*invalid));

    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    if (SHUTTING_DOWN.load())
        return refuse(CoreErrorKind::HelperStopping, Error("the Helper is shutting down"));
    if (Result<void> released = release_managed_core(*slot); !released) {
        log_message("Helper could not release the managed Core: " + released.error().text());
        return refuse(CoreErrorKind::StopFailed, std::move(released.error()));
    }
    // The launch runs the very file hashed here, through its descriptor.
    Result<VerifiedCore> verified = verify_core();
    if (!verified) return refuse(CoreErrorKind::VerificationFailed, std::move(verified.error()));
    std::expected<ManagedCore, LaunchFailure> core = launch(*verified, params);
    if (!core) {
        if (core.error().stage == LaunchFailure::Stage::Capture)
            return refuse(CoreErrorKind::CaptureFailed, std::move(core.error().error));
        log_message(core.error().error.text());
        return refuse(CoreErrorKind::LaunchFailed, std::move(core.error().error));
    }
    const pid_t pid = core->child.pid();
    *slot = std::move(*core);
    return StartedCore{pid};
}

}  // namespace zembra::hub
