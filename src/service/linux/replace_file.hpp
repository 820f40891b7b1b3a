// Replacing a file as a whole: a new file written beside it and renamed over it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "error.hpp"

namespace zembra::service {

// Blocking. Makes `path` a file of `text` with mode `mode`, whatever the umask: the new file is
// written beside it, never open to more than `mode` allows, made durable and renamed over the
// old one. So `path` names either the old file or the whole new one, and a descriptor someone
// holds on the old file never reaches the new. On failure nothing new is left behind.
Result<> replace_file(const std::string& path, std::string_view text, mode_t mode);

}  // namespace zembra::service
