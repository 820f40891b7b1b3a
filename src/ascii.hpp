// ASCII-only character classes and text comparison, for names the protocol and the identity
// handle without locale.
#pragma once

#include <algorithm>
#include <string_view>

namespace zembra {

inline constexpr bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

inline constexpr bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline constexpr bool is_ascii_alphanumeric(char c) {
    return is_ascii_digit(c) || is_ascii_letter(c);
}

// A-Z folded to a-z; every other byte unchanged.
inline constexpr char to_ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal length and equal bytes once A-Z are folded to a-z; no other folding.
inline bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, to_ascii_lower, to_ascii_lower);
}

// Horizontal tab and the bytes 0x20 to 0x7E: a header value HTTP compares without locale rules.
inline bool is_plain_field_value(std::string_view value) {
    return std::ranges::all_of(
        value, [](unsigned char c) { return c == '\t' || (c >= 0x20 && c <= 0x7E); });
}

}  // namespace zembra
