#include "http/request_target.hpp"

#include <algorithm>

#include "ascii.hpp"

namespace zembra::http {
namespace {

// Length of a leading URI scheme (a letter, then letters, digits, "+", "-" or "."); 0 if none.
std::size_t scheme_length(std::string_view target) {
    if (target.empty() || !is_ascii_letter(target[0])) return 0;
    const auto end = std::ranges::find_if_not(target, [](char c) {
        return is_ascii_alphanumeric(c) || c == '+' || c == '-' || c == '.';
    });
    return static_cast<std::size_t>(end - target.begin());
}

}  // namespace

std::string origin_form(std::string_view target) {
    const std::size_t scheme = scheme_length(target);
    if (scheme == 0 || !target.substr(scheme).starts_with("://")) return std::string(target);
    std::string_view rest = target.substr(scheme + 3);
    rest.remove_prefix(std::min(rest.find_first_of("/?#"), rest.size()));
    if (rest.starts_with('/')) return std::string(rest);
    return "/" + std::string(rest);
}

}  // namespace zembra::http
