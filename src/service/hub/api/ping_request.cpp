#include "service/hub/api/ping_request.hpp"

#include "service/hub/api/refusals.hpp"
#include "service/hub/api/responses.hpp"
#include "service/hub/core/ping.hpp"
#include "utf8.hpp"

namespace zembra::hub {

http::Response ping_request(const PingParams& params) {
    std::expected<std::string, CoreError> helper = ping_core(params);
    if (!helper) return core_error_response(helper.error());
    return ping_response(*helper);
}

http::Response ping_response(const Result<std::string>& outcome) {
    http::Response response = outcome ? text_response(lossy_utf8(*outcome), 200)
                                      : text_response(outcome.error().text(), 409);
    response.set_field(PROTOCOL_HEADER, std::string(PROTOCOL_VERSION));
    return response;
}

}  // namespace zembra::hub
