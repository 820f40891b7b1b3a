// ASCII-only character classes and text comparison, for names the protocol and the identity
// handle without locale.
#pragma once

#include <algorithm>
#include <string_view>

namespace zembra {

inline constexpr bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

inline constexpr bool is_ascii_alphanumeric(char c) {
    return is_ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Equal length and equal bytes once A-Z are folded to a-z; no other folding.
inline bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace zembra
