#include "service/hub/api/request_checks.hpp"

#include <algorithm>

#include "ascii.hpp"

namespace zembra::hub {
namespace {

// RFC 9110 token characters.
bool is_token_char(char c) {
    constexpr std::string_view PUNCTUATION = "!#$%&'*+-.^_`|~";
    return is_ascii_alphanumeric(c) || PUNCTUATION.find(c) != std::string_view::npos;
}

// Consumes the longest token at the front of `text`.
std::string_view take_token(std::string_view& text) {
    const auto end = std::ranges::find_if_not(text, is_token_char);
    const std::string_view token(text.begin(), end);
    text.remove_prefix(token.size());
    return token;
}

void skip_whitespace(std::string_view& text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
}

// Consumes a quoted-string at the front of `text`; false if it is not one.
bool take_quoted_string(std::string_view& text) {
    if (text.empty() || text.front() != '"') return false;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            text.remove_prefix(i + 1);
            return true;
        }
    }
    return false;
}

}  // namespace

// media-type = type "/" subtype *( OWS ";" OWS [ token "=" ( token / quoted-string ) ] )
bool is_json_media_type(std::string_view text) {
    if (!is_plain_field_value(text)) return false;
    skip_whitespace(text);
    const std::string_view type = take_token(text);
    if (text.empty() || text.front() != '/') return false;
    text.remove_prefix(1);
    const std::string_view subtype = take_token(text);
    if (!equals_ignoring_ascii_case(type, "application") ||
        !equals_ignoring_ascii_case(subtype, "json"))
        return false;
    for (;;) {
        skip_whitespace(text);
        if (text.empty()) return true;
        if (text.front() != ';') return false;
        text.remove_prefix(1);
        skip_whitespace(text);
        if (text.empty() || text.front() == ';') continue;
        if (take_token(text).empty() || text.empty() || text.front() != '=') return false;
        text.remove_prefix(1);
        if (take_token(text).empty() && !take_quoted_string(text)) return false;
    }
}

std::optional<Rejection> check_body_head(const http::RequestHead& head) {
    if (!head.content_length) return Rejection::LengthRequired;
    if (*head.content_length > MAX_BODY_BYTES) return Rejection::PayloadTooLarge;
    const std::string* content_type = head.field("content-type");
    if (content_type && !is_json_media_type(*content_type)) return Rejection::UnsupportedMediaType;
    return std::nullopt;
}

}  // namespace zembra::hub
