// routes() over the helper's real handlers; the pipeline's tests give it handlers of their own.
#include "service/hub/core_control.hpp"
#include "service/hub/core_start.hpp"
#include "service/hub/logs.hpp"
#include "service/hub/routes.hpp"

namespace zembra::hub {

http::Handler routes() {
    return routes(Handlers{ping_request, start_request, stop_request, get_logs});
}

}  // namespace zembra::hub
