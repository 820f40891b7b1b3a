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

struct RejectionAnswer {
    Rejection cause;
    unsigned status;
    std::string_view code;
    std::string_view message;
    std::string_view field;  // a further header, if any
    std::string_view value;
};

// Tested in this order; the last row stands for every cause not listed before it.
constexpr RejectionAnswer REJECTIONS[] = {
    {Rejection::NotFound, 404, "notFound", "Helper endpoint not found", {}, {}},
    {Rejection::ForbiddenClient, 403, "invalidRequest",
     "browser origins and non-local hosts are not allowed", "connection", "close"},
    {Rejection::InvalidQuery, 400, "invalidRequest", "invalid ping query", PROTOCOL_HEADER,
     PROTOCOL_VERSION},
    {Rejection::BodyDeserializeError, 400, "invalidRequest", "invalid JSON request body", {}, {}},
    {Rejection::PayloadTooLarge, 413, "invalidRequest", "request body exceeds 4096 bytes",
     "connection", "close"},
    {Rejection::LengthRequired, 411, "invalidRequest", "request body length is required", {}, {}},
    {Rejection::InvalidHeader, 400, "invalidRequest", "invalid request header", {}, {}},
    {Rejection::MethodNotAllowed,
     405,
     "invalidRequest",
     "Helper endpoint does not accept this method",
     {},
     {}},
};
constexpr RejectionAnswer UNHANDLED_REJECTION = {
    Rejection::BodyReadError, 500, "internalError", "unhandled Helper request rejection", {}, {}};

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

http::Response handle_rejection(Rejection cause) {
    const RejectionAnswer* answer = &UNHANDLED_REJECTION;
    for (const RejectionAnswer& row : REJECTIONS) {
        if (row.cause == cause) {
            answer = &row;
            break;
        }
    }
    http::Response response =
        error_response(answer->code, std::string(answer->message), answer->status);
    if (!answer->field.empty()) response.set_field(answer->field, std::string(answer->value));
    return response;
}

}  // namespace zembra::hub
