#include "service/hub/core/ping.hpp"

#include <fcntl.h>

#include "service/hub/core/core_digest.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/verification.hpp"
#include "service/linux/executable_path.hpp"
#include "service/linux/file_descriptor.hpp"

namespace zembra::hub {
namespace {

// The helper's own path, once the Core next to it opens; one look at the link serves both, as a
// ping is the hot path.
Result<std::string> check_core_in_place() {
    Result<std::string> helper = service::current_executable_path();
    if (!helper) return fail(std::move(helper.error()));
    Result<std::string> core = core_path_next_to(*helper);
    if (!core) return fail(std::move(core.error()));
    // Opened as a start opens it: a FIFO by that name answers at once instead of blocking.
    if (!service::FileDescriptor(
            ::open(core->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)))
        return fail(Error::last_os());
    return helper;
}

}  // namespace

std::expected<std::string, CoreError> ping_core(const PingParams& params) {
    if (params.core_sha256 != EXPECTED_CORE_SHA256) {
        log_message("Helper ping rejected a Core SHA256 mismatch");
        return std::unexpected(
            CoreError{CoreErrorKind::DigestMismatch, Error("Core SHA256 mismatch")});
    }
    Result<std::string> helper = check_core_in_place();
    if (!helper) {
        log_message("Helper ping failed: " + helper.error().text());
        return std::unexpected(CoreError{CoreErrorKind::CoreNotInPlace, std::move(helper.error())});
    }
    return std::move(*helper);
}

}  // namespace zembra::hub
