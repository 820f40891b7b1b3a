// Which helper this process is (regular or pre-release), decided once from the file name of
// its own executable, and the names that follow from it.
#pragma once

#include <string_view>

namespace zembra::service {

// PRE: true for the pre-release helper. Computed on first use, thread-safe.
bool pre_release();

// True when a file name's stem (the name without its last extension) is the pre-release
// executable name under ASCII case folding.
bool is_pre_release_file_name(std::string_view file_name);

std::string_view service_name();            // "zembra-helper" / "zembra-pre-helper"
std::string_view executable_name();         // "ZembraHelperService" / "ZembraPreHelperService"
std::string_view runtime_directory_name();  // "zembra" / "zembra-pre"

}  // namespace zembra::service
