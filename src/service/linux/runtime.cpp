// Stand-in for service mode until the event loop and run_service land in this file.
#include "service/linux/runtime.hpp"

namespace zembra::service {

Result<> run_service_mode(OwnerIds) {
    return fail("the helper service is not built yet");
}

}  // namespace zembra::service
