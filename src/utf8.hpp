// UTF-8 validation and lossy conversion of byte strings.
#pragma once

#include <string>
#include <string_view>

namespace zembra {

bool is_valid_utf8(std::string_view bytes);

// `bytes` with every invalid sequence replaced by U+FFFD, one replacement per maximal
// invalid subpart (the Unicode "substitution of maximal subparts" practice).
std::string lossy_utf8(std::string_view bytes);

// Length of the valid UTF-8 sequence at the start of `bytes`, or 0 if it does not start with one.
std::size_t utf8_sequence_length(std::string_view bytes);

}  // namespace zembra
