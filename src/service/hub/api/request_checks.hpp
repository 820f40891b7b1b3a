// The checks a request with a JSON body passes on its head alone, before any body byte is
// read: a declared length within the limit, and a JSON content type.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "http/message.hpp"
#include "service/hub/api/refusals.hpp"

namespace zembra::hub {

// The largest body the API reads; a larger declared length is refused unread.
inline constexpr std::size_t MAX_BODY_BYTES = 4096;

// True for the media type application/json (any letter case), with or without parameters.
bool is_json_media_type(std::string_view content_type);

// LengthRequired, PayloadTooLarge or UnsupportedMediaType, or none when the body may be read.
std::optional<Rejection> check_body_head(const http::RequestHead& head);

}  // namespace zembra::hub
