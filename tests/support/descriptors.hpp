// The descriptors this process holds open, to show a test leaves none behind.
#pragma once

#include <set>
#include <string>

namespace zembra::test {

// The numbers listed in /proc/self/fd, less the listing's own.
std::set<std::string> open_descriptors();

}  // namespace zembra::test
