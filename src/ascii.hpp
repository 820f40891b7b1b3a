// ASCII-only text comparison, for names the protocol and the identity compare without locale.
#pragma once

#include <algorithm>
#include <string_view>

namespace zembra {

// Equal length and equal bytes once A-Z are folded to a-z; no other folding.
inline bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace zembra
