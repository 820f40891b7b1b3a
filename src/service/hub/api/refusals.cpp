#include "service/hub/api/refusals.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "service/hub/api/responses.hpp"

namespace zembra::hub {
namespace {

struct RejectionAnswer {
    unsigned status;
    std::string_view code;
    std::string_view message;
    // A further header, if any.
    std::string_view field = {};
    std::string_view value = {};
};

// A `switch` without `default`: the compiler names a cause added without its row.
constexpr RejectionAnswer rejection_answer(Rejection cause) {
    switch (cause) {
        case Rejection::NotFound:
            return {.status = 404, .code = "notFound", .message = "Helper endpoint not found"};
        case Rejection::ForbiddenClient:
            return {.status = 403,
                    .code = "invalidRequest",
                    .message = "browser origins and non-local hosts are not allowed",
                    .field = "connection",
                    .value = "close"};
        case Rejection::InvalidQuery:
            return {.status = 400,
                    .code = "invalidRequest",
                    .message = "invalid ping query",
                    .field = PROTOCOL_HEADER,
                    .value = PROTOCOL_VERSION};
        case Rejection::BodyDeserializeError:
            return {
                .status = 400, .code = "invalidRequest", .message = "invalid JSON request body"};
        case Rejection::PayloadTooLarge:
            return {.status = 413,
                    .code = "invalidRequest",
                    .message = "request body exceeds 4096 bytes",
                    .field = "connection",
                    .value = "close"};
        case Rejection::LengthRequired:
            return {.status = 411,
                    .code = "invalidRequest",
                    .message = "request body length is required"};
        case Rejection::InvalidHeader:
            return {.status = 400, .code = "invalidRequest", .message = "invalid request header"};
        case Rejection::MethodNotAllowed:
            return {.status = 405,
                    .code = "invalidRequest",
                    .message = "Helper endpoint does not accept this method"};
        case Rejection::HelperBusy:
            return {.status = 503,
                    .code = "helperBusy",
                    .message = "the Helper is busy with other Core requests"};
        case Rejection::UnsupportedMediaType:
            return {.status = 500,
                    .code = "internalError",
                    .message = "unhandled Helper request rejection"};
    }
    std::unreachable();
}

struct CoreErrorAnswer {
    unsigned status;
    // Empty: the error's text is the whole plain-text body.
    std::string_view code;
    // Put before the error's text in the message.
    std::string_view message_prefix = {};
    // The root cause's errno, if any, as "details": {"osError": n}.
    bool os_error_details = false;
    bool protocol_header = false;
};

// A `switch` without `default`: the compiler names a kind added without its row.
constexpr CoreErrorAnswer core_error_answer(CoreErrorKind kind) {
    switch (kind) {
        case CoreErrorKind::InvalidInput:
            return {.status = 400, .code = "invalidRequest"};
        case CoreErrorKind::HelperStopping:
            return {.status = 503, .code = "helperStopping"};
        case CoreErrorKind::StopFailed:
            return {.status = 500, .code = "coreStopFailed"};
        case CoreErrorKind::VerificationFailed:
            return {.status = 409, .code = "coreVerificationFailed"};
        case CoreErrorKind::LaunchFailed:
            return {.status = 500, .code = "processLaunchFailed", .os_error_details = true};
        case CoreErrorKind::CaptureFailed:
            return {.status = 500,
                    .code = "internalError",
                    .message_prefix = "Core start task failed: "};
        case CoreErrorKind::DigestMismatch:
            return {.status = 409, .code = "coreSha256Mismatch", .protocol_header = true};
        case CoreErrorKind::CoreNotInPlace:
            return {.status = 409, .code = {}, .protocol_header = true};
    }
    std::unreachable();
}

}  // namespace

http::Response handle_rejection(Rejection cause) {
    const RejectionAnswer answer = rejection_answer(cause);
    http::Response response =
        error_response(answer.code, std::string(answer.message), answer.status);
    if (!answer.field.empty()) response.set_field(answer.field, std::string(answer.value));
    return response;
}

http::Response core_error_response(const CoreError& error) {
    const CoreErrorAnswer answer = core_error_answer(error.kind);
    const std::string message = std::string(answer.message_prefix) + error.error.text();
    std::optional<ErrorDetails> details;
    if (answer.os_error_details && error.error.os_error())
        details = ErrorDetails{*error.error.os_error()};
    http::Response response =
        answer.code.empty()
            ? text_response(message, answer.status)
            : json_response(ErrorResponse{answer.code, message, details}, answer.status);
    if (answer.protocol_header) response.set_field(PROTOCOL_HEADER, std::string(PROTOCOL_VERSION));
    return response;
}

}  // namespace zembra::hub
