#include "service/hub/api/logs_request.hpp"

#include "service/hub/api/responses.hpp"
#include "service/hub/core/log_buffer.hpp"

namespace zembra::hub {

http::Response get_logs() {
    http::Response response = text_response(http::Body(log_snapshot()), 200);
    response.set_field("cache-control", "no-store");
    return response;
}

}  // namespace zembra::hub
