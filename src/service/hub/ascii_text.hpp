// ASCII-only text predicates for header values, which HTTP compares without locale rules.
#pragma once

#include <algorithm>
#include <string_view>

namespace zembra::hub {

// Horizontal tab and the bytes 0x20 to 0x7E.
inline bool is_plain_field_value(std::string_view value) {
    return std::ranges::all_of(
        value, [](unsigned char c) { return c == '\t' || (c >= 0x20 && c <= 0x7E); });
}

// Equal length and equal bytes once A-Z are folded to a-z; no other folding.
inline bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace zembra::hub
