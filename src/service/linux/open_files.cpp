#include "service/linux/open_files.hpp"

#include <algorithm>
#include <optional>

#include "http/limits.hpp"

namespace zembra::service {

namespace {

// What raise_open_file_limit() found before it raised the soft limit; set once, at start, before
// any program is started.
std::optional<rlimit> limits_before_raise;

}  // namespace

rlimit initial_open_file_limit() {
    if (limits_before_raise) return *limits_before_raise;
    rlimit limit{};
    (void)::getrlimit(RLIMIT_NOFILE, &limit);  // fails only for an unknown resource
    return limit;
}

rlim_t raise_open_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == limit.rlim_max) return limit.rlim_cur;
    limits_before_raise = limit;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_max : before;
}

std::size_t connection_cap(rlim_t open_files) {
    const rlim_t left = open_files > DESCRIPTOR_RESERVE ? open_files - DESCRIPTOR_RESERVE : 0;
    return std::clamp<rlim_t>(left, MIN_CONNECTIONS, http::MAX_CONNECTIONS);
}

}  // namespace zembra::service
