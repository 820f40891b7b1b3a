// The build-time digest of the Core executable that this helper may start.
#pragma once

#include <string_view>

namespace zembra::hub {
// 64 lower-case hexadecimal characters.
extern const std::string_view EXPECTED_CORE_SHA256;
}  // namespace zembra::hub
