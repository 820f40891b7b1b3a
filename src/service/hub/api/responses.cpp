#include "service/hub/api/responses.hpp"

#include "service/hub/api/json_writer.hpp"

namespace zembra::hub {
namespace {

http::Response with_body(std::string_view content_type, http::Body body, unsigned status) {
    http::Response response;
    response.status = status;
    response.fields.push_back({"content-type", std::string(content_type)});
    response.body = std::move(body);
    return response;
}

}  // namespace

http::Response json_response(const ErrorResponse& body, unsigned status) {
    JsonObjectWriter json;
    json.string("code", body.code).string("message", body.message);
    if (body.details)
        json.begin_object("details").integer("osError", body.details->os_error).end_object();
    return with_body(JSON_CONTENT_TYPE, std::move(json).finish(), status);
}

http::Response json_response(const StopResponse& body, unsigned status) {
    JsonObjectWriter json;
    json.string("sessionId", body.session_id).boolean("stopped", body.stopped);
    if (body.reason) json.string("reason", *body.reason);
    return with_body(JSON_CONTENT_TYPE, std::move(json).finish(), status);
}

http::Response json_response(const StartResponse& body, unsigned status) {
    JsonObjectWriter json;
    json.string("sessionId", body.session_id).integer("pid", body.pid);
    return with_body(JSON_CONTENT_TYPE, std::move(json).finish(), status);
}

http::Response error_response(std::string_view code, std::string message, unsigned status) {
    return json_response(ErrorResponse{code, std::move(message), std::nullopt}, status);
}

http::Response text_response(http::Body body, unsigned status) {
    return with_body(TEXT_CONTENT_TYPE, std::move(body), status);
}

}  // namespace zembra::hub
