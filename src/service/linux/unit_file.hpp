// The systemd unit that runs the helper as a service: where it lives and its exact text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zembra::service {

// "/etc/systemd/system/" + service_name() + ".service".
std::string unit_file_path();

// False for a path with a control character (bytes 0x01-0x1F, 0x7F): systemd would read a line
// break as the end of ExecStart and what follows as further settings.
bool exec_start_can_hold(std::string_view executable_path);

// The executable path as an ExecStart command: lossily converted to UTF-8, wrapped in double
// quotes, with '"' and '\' backslash-escaped and '%' doubled (systemd's specifier escape). '$'
// stays as it is: systemd expands variables in the arguments only, never in the executable
// path, where "$$" would name another file.
std::string quote_exec_path(std::string_view executable_path);

// The whole unit for the current helper identity, final line break included.
std::string unit_file_text(std::string_view executable_path, std::uint32_t uid, std::uint32_t gid);

}  // namespace zembra::service
