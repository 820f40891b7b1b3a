// The client guard's host check, for the regular and the pre-release helper's name. Input: the
// "host" value. A host is accepted only when, user information and port set aside, it names this
// machine or the helper; letter case never matters; and a browser origin is always refused.
#include <algorithm>
#include <array>
#include <string>

#include "ascii.hpp"
#include "service/hub/api/client_guard.hpp"
#include "service/identity.hpp"
#include "support/fuzz_check.hpp"

namespace {

using namespace zembra;

std::string upper_case(std::string_view text) {
    std::string upper(text);
    std::ranges::transform(upper, upper.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return upper;
}

// What a URL parser would take for the host: after the last "@", up to the port.
void check_names_local_host(std::string_view host, std::string_view name) {
    FUZZ_CHECK(std::ranges::all_of(host, [](char c) { return c > 0x20 && c < 0x7F; }));
    FUZZ_CHECK(host.find_first_of("/?#\\") == std::string_view::npos);
    const std::size_t at = host.rfind('@');
    const std::string_view authority = at == std::string_view::npos ? host : host.substr(at + 1);
    const std::size_t end =
        authority.starts_with('[') ? authority.find(']') + 1 : authority.find(':');
    const std::string_view hostname = authority.substr(0, end);
    const std::string_view port = authority.substr(hostname.size());
    FUZZ_CHECK(port.empty() || port.starts_with(':'));
    const std::array<std::string_view, 3> local = {"127.0.0.1", "localhost", name};
    FUZZ_CHECK(std::ranges::any_of(
        local, [hostname](std::string_view l) { return equals_ignoring_ascii_case(hostname, l); }));
}

void check_guard(std::string_view host) {
    http::RequestHead head{"GET", "/logs", {{"Host", std::string(host)}}, std::nullopt};
    const bool allowed = !hub::guard_client(head).has_value();
    if (allowed) FUZZ_CHECK(hub::is_local_host(host, service::executable_name()));
    head.fields.push_back({"ORIGIN", std::string(host)});
    FUZZ_CHECK(hub::guard_client(head).has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view host = fuzz::text_of(data, size);
    for (const std::string_view name : {"ZembraHelperService", "ZembraPreHelperService"}) {
        const bool accepted = hub::is_local_host(host, name);
        FUZZ_CHECK(hub::is_local_host(upper_case(host), name) == accepted);
        FUZZ_CHECK(hub::is_local_host(host, upper_case(name)) == accepted);
        if (accepted) check_names_local_host(host, name);
    }
    check_guard(host);
    return 0;
}
