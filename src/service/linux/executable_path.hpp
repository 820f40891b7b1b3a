// The path of the running executable, as the kernel reports it (every symbolic link resolved).
#pragma once

#include <string>

#include "error.hpp"

namespace zembra::service {

// The target of /proc/self/exe; the error is the operating-system error of readlink.
Result<std::string> current_executable_path();

// The parent of an absolute path ("/" for "/x"); none for "/" or a path without a "/".
std::optional<std::string> parent_directory(const std::string& path);

}  // namespace zembra::service
