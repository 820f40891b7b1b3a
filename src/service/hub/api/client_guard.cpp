#include "service/hub/api/client_guard.hpp"

#include <algorithm>
#include <array>

#include "ascii.hpp"
#include "service/identity.hpp"

namespace zembra::hub {
namespace {

bool is_authority_byte(char c) {
    constexpr std::string_view PUNCTUATION = "!#$&'()*+,-./:;=?@[]_~%";
    return is_ascii_alphanumeric(c) || PUNCTUATION.find(c) != std::string_view::npos;
}

// A left-to-right scan that accepts a bare authority: optional user information, a host
// (bracketed IP literal or not) and an optional port.
bool is_bare_authority(std::string_view value) {
    if (value.empty() || value.back() == '@') return false;
    constexpr int MAX_COLONS = 8;  // an IPv6 literal has at most seven, a port one more
    int colons = 0;
    bool percent = false;
    bool opened = false;
    bool closed = false;
    for (const char c : value) {
        if (!is_authority_byte(c)) return false;
        switch (c) {
            case '/':
            case '?':
            case '#':
                return false;
            case '@':
                colons = 0;
                percent = false;
                break;
            case '[':
                if (percent || opened) return false;
                opened = true;
                break;
            case ']':
                if (!opened || closed) return false;
                closed = true;
                colons = 0;
                percent = false;
                break;
            case ':':
                if (colons == MAX_COLONS) return false;
                ++colons;
                break;
            case '%':
                percent = true;
                break;
            default:
                break;
        }
    }
    return opened == closed && colons <= 1 && !percent;
}

std::string_view host_part(std::string_view authority) {
    const std::size_t at = authority.rfind('@');
    const std::string_view host =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (host.starts_with('[')) return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

}  // namespace

bool is_local_host(std::string_view host, std::string_view executable_name) {
    if (!is_bare_authority(host)) return false;
    const std::string_view name = host_part(host);
    const std::array<std::string_view, 3> allowed = {"127.0.0.1", "localhost", executable_name};
    return std::ranges::any_of(allowed, [name](std::string_view local) {
        return equals_ignoring_ascii_case(name, local);
    });
}

std::optional<Rejection> guard_client(const http::RequestHead& head) {
    const std::string* origin = head.field("origin");
    const std::string* host = head.field("host");
    if ((origin && !is_plain_field_value(*origin)) || (host && !is_plain_field_value(*host)))
        return Rejection::InvalidHeader;
    if (origin) return Rejection::ForbiddenClient;
    if (host && !is_local_host(*host, service::executable_name()))
        return Rejection::ForbiddenClient;
    return std::nullopt;
}

}  // namespace zembra::hub
