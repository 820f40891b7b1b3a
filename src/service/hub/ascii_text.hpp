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

}  // namespace zembra::hub
