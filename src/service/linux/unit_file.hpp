// The systemd unit that runs the helper as a service: where it lives and its exact text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zembra::service {

// "/etc/systemd/system/" + service_name() + ".service".
std::string unit_file_path();

// The executable path as an ExecStart command: lossily converted to UTF-8, wrapped in double
// quotes, with '"' and '\' backslash-escaped and '%' doubled (systemd's specifier escape).
std::string quote_exec_path(std::string_view executable_path);

// The whole unit for the current helper identity, final line break included.
std::string unit_file_text(std::string_view executable_path, std::uint32_t uid, std::uint32_t gid);

}  // namespace zembra::service
