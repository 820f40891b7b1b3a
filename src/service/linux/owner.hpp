// The owner of the installed service: the one non-root user (and primary group) it serves.
#pragma once

#include <cstdint>
#include <string_view>

#include "error.hpp"

namespace zembra::service {

struct OwnerIds {
    std::uint32_t uid;
    std::uint32_t gid;
};

inline constexpr const char* OWNER_UID_VARIABLE = "MORVIK_HELPER_OWNER_UID";
inline constexpr const char* OWNER_GID_VARIABLE = "MORVIK_HELPER_OWNER_GID";

// `text` without Unicode white space at either end.
std::string_view trim_white_space(std::string_view text);
// An unsigned 32-bit decimal number: digits with one optional leading "+", nothing else.
Result<std::uint32_t> parse_unsigned_id(std::string_view text);

// A non-zero unsigned 32-bit decimal id, surrounded by any Unicode white space.
Result<std::uint32_t> parse_owner_id(std::string_view text);
// The id in the environment variable `name`.
Result<std::uint32_t> read_id_env(const char* name);
// Both ids, read from the environment anew on every call.
Result<OwnerIds> owner_from_env();

}  // namespace zembra::service
