#include "service/hub/api/ping_request.hpp"

#include "service/hub/api/responses.hpp"
#include "service/hub/core/core_digest.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/ping_check.hpp"
#include "utf8.hpp"

namespace zembra::hub {

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

}  // namespace zembra::hub
