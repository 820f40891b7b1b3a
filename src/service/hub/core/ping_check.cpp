#include "service/hub/core/ping_check.hpp"

#include <fcntl.h>

#include "service/hub/core/verification.hpp"
#include "service/linux/executable_path.hpp"
#include "service/linux/file_descriptor.hpp"

namespace zembra::hub {

Result<std::string> check_core_in_place() {
    Result<std::string> core = core_path();
    if (!core) return fail(std::move(core.error()));
    if (!service::FileDescriptor(::open(core->c_str(), O_RDONLY | O_CLOEXEC)))
        return fail(Error::last_os());
    return service::current_executable_path();
}

}  // namespace zembra::hub
