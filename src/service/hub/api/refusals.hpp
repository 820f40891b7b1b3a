// The answers the API gives when it does not do what was asked: each refusal cause of the
// request pipeline and each kind of Core error, mapped in one table each.
#pragma once

#include "http/message.hpp"
#include "service/hub/core/core_error.hpp"

namespace zembra::hub {

// Why the request pipeline did not accept a request.
enum class Rejection {
    NotFound,
    ForbiddenClient,
    InvalidQuery,
    BodyDeserializeError,
    PayloadTooLarge,
    LengthRequired,
    InvalidHeader,
    MethodNotAllowed,
    UnsupportedMediaType,
    // A start or stop found no room among the requests that wait for the Core slot: try again.
    HelperBusy,
};

http::Response handle_rejection(Rejection cause);

// The answer to a Core operation that failed: a JSON error whose message is the error's text,
// or for a ping whose Core is not in place, that text alone.
http::Response core_error_response(const CoreError& error);

}  // namespace zembra::hub
