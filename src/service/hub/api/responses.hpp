// Every JSON body the API answers with, and the plain-text answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/message.hpp"

namespace zembra::hub {

inline constexpr std::string_view PROTOCOL_HEADER = "x-zembra-helper-protocol";
inline constexpr std::string_view PROTOCOL_VERSION = "6";
inline constexpr std::string_view JSON_CONTENT_TYPE = "application/json";
inline constexpr std::string_view TEXT_CONTENT_TYPE = "text/plain; charset=utf-8";

struct ErrorDetails {
    std::int32_t os_error;
};

struct ErrorResponse {
    std::string_view code;
    std::string message;
    std::optional<ErrorDetails> details;
};

struct StopResponse {
    std::string session_id;
    bool stopped;
    std::optional<std::string_view> reason;
};

struct StartResponse {
    std::string session_id;
    std::uint32_t pid;
};

// `status` with "Content-Type: application/json" and the record as a compact JSON body.
http::Response json_response(const ErrorResponse& body, unsigned status);
http::Response json_response(const StopResponse& body, unsigned status);
http::Response json_response(const StartResponse& body, unsigned status);

// An ErrorResponse without details.
http::Response error_response(std::string_view code, std::string message, unsigned status);

// A plain-text response.
http::Response text_response(http::Body body, unsigned status);

}  // namespace zembra::hub
