#include "service/hub/core/params.hpp"

#include <algorithm>

#include "ascii.hpp"

namespace zembra::hub {
namespace {

constexpr std::string_view ADDRESS_PREFIX = "/tmp/MorvikSocket_";
constexpr std::string_view ADDRESS_SUFFIX = ".sock";
constexpr std::size_t MAX_ADDRESS_DIGITS = 10;
constexpr std::size_t SESSION_ID_LENGTH = 32;

}  // namespace

bool is_core_address(std::string_view text) {
    if (!text.starts_with(ADDRESS_PREFIX) || !text.ends_with(ADDRESS_SUFFIX)) return false;
    if (text.size() < ADDRESS_PREFIX.size() + ADDRESS_SUFFIX.size()) return false;
    const std::string_view digits = text.substr(
        ADDRESS_PREFIX.size(), text.size() - ADDRESS_PREFIX.size() - ADDRESS_SUFFIX.size());
    return !digits.empty() && digits.size() <= MAX_ADDRESS_DIGITS &&
           std::ranges::all_of(digits, is_ascii_digit);
}

bool is_session_id(std::string_view text) {
    return text.size() == SESSION_ID_LENGTH && std::ranges::all_of(text, [](char c) {
               return is_ascii_digit(c) || (c >= 'a' && c <= 'f');
           });
}

}  // namespace zembra::hub
